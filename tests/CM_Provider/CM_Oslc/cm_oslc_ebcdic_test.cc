// A native code page that does not write ASCII as ASCII (EBCDIC): no text may take the ASCII
// short cut, so every name and value of an update body goes through the converter, and the
// streaming writer must still write what the DOM builder writes. A program of its own: the
// converter is chosen once per process.
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"

#include <cstdlib>

namespace {

TEST(EbcdicPage, TheBodyWriterWritesTheBytesOfTheDomBuilder) {
  setenv("LC_ALL", "en_US.IBM037", 1);
  UConverter* converter = nullptr;
  ASSERT_EQ(0, get_native_converter(&converter));
  ASSERT_FALSE(native_ascii_is_identity());
  using namespace cmtest;
  // In this page 0x4C is '<', 0x50 '&', 0x7F '"', 0xC1 'A', 0x81 'a', 0x7A ':' and 0x40 ' '.
  // No prefixes: the ':' joining a prefix to a name is ASCII, not this page's.
  const CM_XmlNamespace ns("", "\x81\x7A\x81");
  const std::vector<BodyStep> steps = {
      root_step(CM_XmlTag(ns, "\xC1")), push_step(CM_XmlTag(ns, "\xC1\x81")),
      attr_step(CM_XmlTag(ns, "\x81"), "\x4C\x50\x7F\xC1\x81"),
      attr_step(CM_XmlTag(ns, "\x81\x40\x81"), "refused name"),
      attr_step(CM_XmlTag(ns, "\xC1"), "\x81"),
      // ASCII bytes, which a plain ASCII scan would take as they are
      attr_step(CM_XmlTag(ns, "\x81"), "abc"), pop_step(), pop_step()};
  CM_XmlDoc doc;
  CM_XmlWriter writer;
  const std::string written = build_body(writer, steps);
  EXPECT_EQ(build_body(doc, steps), written);
  EXPECT_NE(std::string::npos, written.find("<A xmlns=\"a:a\"><Aa a=\"&lt;&amp;&quot;Aa\"/>"))
      << written;
}

}  // namespace
