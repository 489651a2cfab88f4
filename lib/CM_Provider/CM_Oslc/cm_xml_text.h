// Conversion between the DOM's UTF-16 text (or the scanner's UTF-8) and the process's native
// code page, and CM_XmlText, the one owner of a UTF-16 text made here. Free functions, no state
// but the process-wide converter; any module may call. Status codes as in cm_xml_names.h; nothing
// throws.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_TEXT_H
#define CM_PROVIDER_CM_OSLC_CM_XML_TEXT_H

#include <unicode/ucnv.h>
#include <xercesc/util/XercesDefs.hpp>

#include <cstddef>
#include <string>
#include <string_view>

#include <sum_string.h>
#include "CM_Provider/CM_Oslc/cm_xml_names.h"

// UTF-16 DOM text to the native code page. Null or empty text gives "" and 0. A character the
// native code page cannot hold exactly fails with 1001 (message 22 printed unless quiet); 1072
// when no converter can be opened.
int xmlch_to_native(const XMLCh* text, SUM_String& out, int quiet);
// xmlch_to_native with quiet 0; the (possibly partial) text whatever the outcome.
SUM_String xmlch_to_string(const XMLCh* text);
// Native text to a new UTF-16 text; the caller releases it with XMLString::release (or holds it
// in a CM_XmlText). Text that is not valid in the native code page gives message 23 and 1001.
// Requires Xerces initialised (any live CM_XmlParser or CM_XmlDoc, or the caller's own
// XMLPlatformUtils::Initialize).
int native_to_xmlch(const SUM_String& text, XMLCh** out);
// native_to_xmlch into out, without Xerces: the same text (up to its first NUL), the same
// failures and messages; out is empty after a failure.
int native_to_utf16(const SUM_String& text, std::u16string& out);
// The process-wide converter of the native code page, strict: no fallbacks, stops on the first
// unmappable character. The page is the code set of the locale environment (LC_ALL, LC_CTYPE,
// LANG, as "en_US.ISO-8859-1"), else ICU's default (UTF-8); chosen on first use. The caller must
// not close it. 0 or 1072.
int get_native_converter(UConverter** out);

// Whether the bytes are all ASCII; a word at a time, for URLs of tens of bytes by the thousand.
bool ascii_only(const char* bytes, size_t length);
// UTF-8 text to UTF-16; false when it is not valid UTF-8.
bool utf8_to_utf16(std::string_view text, std::u16string& out);
// Valid UTF-8 text (as the record scanner hands it out) to the native code page; false when the
// page cannot hold it. Prints nothing.
bool utf8_to_native(std::string_view text, SUM_String& out);

// True once the native converter is open and its page writes ASCII as ASCII: then ASCII native
// text is the same text in UTF-16 and UTF-8, and converts without fail.
bool native_ascii_is_identity();

// A UTF-16 text converted from native text, released when the holder goes.
class CM_XmlText {
 public:
  CM_XmlText() = default;
  ~CM_XmlText();
  CM_XmlText(const CM_XmlText&) = delete;
  CM_XmlText& operator=(const CM_XmlText&) = delete;

  // native_to_xmlch into this holder (the previous text released first).
  int Convert(const SUM_String& text);
  // Null until a conversion succeeded.
  const XMLCh* get() const { return m_text; }

 private:
  XMLCh* m_text = nullptr;
};

#endif
