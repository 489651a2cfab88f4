// The streaming record reader and body writer against the DOM paths they stand in for: every
// answer of the XML corpus read both ways gives the caller the same statuses, texts, links and
// printed messages, and update bodies come out byte for byte the same.
#include <gtest/gtest.h>
#include <xercesc/util/PlatformUtils.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_oslc_get.h"
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"
#include "CM_Provider/CM_Oslc/cm_xml_record_reader.h"
#include "CM_Provider/CM_Oslc/cm_xml_vocab.h"
#include "CM_Provider/CM_Oslc/cm_xml_writer.h"
#include "support/stderr_capture.h"
#include "support/temp_home.h"

namespace {

const std::string kCorpus = CM_SOURCE_DIR "/fuzz/corpus/cm_xml/";

std::string slurp(const std::string& name) { return cmtest::read_file(kCorpus + name); }

std::vector<std::string> corpus_files() {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(kCorpus))
    names.push_back(entry.path().filename());
  return names;
}

// Everything a caller of the record read sees, in the order it would ask.
std::string read_all(const std::string& body, bool may_stream) {
  cmtest::StderrCapture printed;
  CM_OslcGet get;
  std::ostringstream seen;
  seen << "read " << get.ReadAnswer(body, may_stream) << " " << get.get_error() << "\n";
  SUM_String stable;
  seen << "stable " << get.GetStableId(stable) << " " << stable.str() << " " << get.get_error();
  CM_LinksMap links;
  links.emplace("keep", links.NewVersion("kept"));
  std::string error;
  seen << "\nlinks " << get.GetLinksValues(tag_oslc_cm_tracksChangeSet(), links, error) << " "
       << error << "\n";
  for (const auto& link : links)
    seen << link.first.str() << " = " << link.second->GetName().str() << "\n";
  seen << "printed " << printed.text();
  return seen.str();
}

class StreamCorpus : public ::testing::TestWithParam<std::string> {};

TEST_P(StreamCorpus, ReaderAnswersAsTheDom) {
  const std::string body = slurp(GetParam());
  ASSERT_FALSE(body.empty());
  EXPECT_EQ(read_all(body, false), read_all(body, true));
}

INSTANTIATE_TEST_SUITE_P(Corpus, StreamCorpus, ::testing::ValuesIn(corpus_files()),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                           return name;
                         });

// The reader must carry the ordinary answers itself; what it leaves to the DOM needs no row, as
// the differential above shows that both answer alike.
TEST(StreamReader, AnswersPlainRecordsItself) {
  CM_XmlRecordReader reader(record_shape());
  for (const std::string name :
       {"record_two_links.xml", "record_no_links.xml", "stream_many_links.xml",
        "stream_other_prefixes.xml", "stream_whitespace.xml", "stream_nested.xml",
        "scan_values_normalised.xml", "stream_values_decoded.xml"}) {
    CM_XmlRecord record;
    const std::string body = slurp(name);  // the record's texts may point into it
    EXPECT_TRUE(reader.Read(body, tag_oslc_cm_tracksChangeSet(), record)) << name;
    if (name == "stream_many_links.xml") EXPECT_EQ(60u, record.links.size());
  }
}

// A record of n links with titled descriptions; dup (when not negative) gives the last link the
// ID of link dup. pad lengthens every title, so that the answer is much longer than its links
// suggest.
std::string many_links(int n, int dup, size_t pad) {
  std::string links, descriptions;
  for (int i = 0; i < n; ++i) {
    const std::string id = "L" + std::to_string(i == n - 1 && dup >= 0 ? dup : i);
    links += "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f" + std::to_string(n - i) +
             ".c@@/main/1\" rdf:ID=\"" + id + "\"/>\n";
    descriptions += "<rdf:Description rdf:about=\"#" + id + "\"><dcterms:title>t" +
                    std::to_string(i) + std::string(pad, ' ') +
                    "</dcterms:title></rdf:Description>\n";
  }
  return "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\" "
         "xmlns:rdfs=\"http://www.w3.org/2000/01/rdf-schema#\" "
         "xmlns:oslc_cm=\"http://open-services.net/ns/cm#\" "
         "xmlns:dcterms=\"http://purl.org/dc/terms/\">\n"
         "<rdf:Description rdf:about=\"http://h/q\"><rdfs:member>"
         "<oslc_cm:ChangeRequest rdf:about=\"http://h/r/7\">\n" +
         links + "</oslc_cm:ChangeRequest></rdfs:member></rdf:Description>\n" + descriptions +
         "</rdf:RDF>\n";
}

// Thousands of links, out of resource order, with an ID given twice (near and far apart) and in
// an answer whose size misleads the reader's estimate of its links: read as the DOM reads them.
TEST(StreamReader, ManyLinksReadAsTheDom) {
  for (const auto& [n, dup, pad] :
       {std::tuple<int, int, size_t>{3000, -1, 0}, {3000, 7, 0}, {3000, 2998, 0}, {700, -1, 400}}) {
    const std::string body = many_links(n, dup, pad);
    CM_XmlRecordReader reader(record_shape());
    CM_XmlRecord record;
    ASSERT_TRUE(reader.Read(body, tag_oslc_cm_tracksChangeSet(), record));
    EXPECT_EQ(static_cast<size_t>(n), record.links.size());
    EXPECT_EQ(read_all(body, false), read_all(body, true)) << n << " " << dup << " " << pad;
  }
}

// The scanner reads a tag that repeats the one before it under its name as that one's shape:
// each way a later tag can differ from the tags before it must still be read as the DOM reads it.
TEST(StreamReader, TagsThatDifferFromTheirPredecessorsReadAsTheDom) {
  const std::string link =
      "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" rdf:ID=\"L5\"/>";
  const std::string title =
      "<rdf:Description rdf:about=\"#L5\"><dcterms:title>t5</dcterms:title></rdf:Description>";
  const struct {
    const char* what;
    std::string was, becomes;
  } variants[] = {
      {"one more attribute", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" rdf:ID=\"L5\" "
       "dcterms:title=\"x\"/>"},
      {"one attribute fewer", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\"/>"},
      {"an attribute twice", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" rdf:resource=\"x\" "
       "rdf:ID=\"L5\"/>"},
      {"the other quote", link,
       "<oslc_cm:tracksChangeSet rdf:resource='tw://v/f7.c@@/main/1' rdf:ID='L5'/>"},
      {"other blanks", link,
       "<oslc_cm:tracksChangeSet\n  rdf:resource = \"tw://v/f7.c@@/main/1\"\trdf:ID=\"L5\" />"},
      {"a reference in a value", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1?a=1&amp;b=2\" "
       "rdf:ID=\"L5\"/>"},
      {"a tab in a value", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" rdf:ID=\"L\t5\"/>"},
      {"a control character in a value", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\x01\" rdf:ID=\"L5\"/>"},
      {"a value not ASCII", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f\xC3\xA9.c@@/main/1\" rdf:ID=\"L5\"/>"},
      {"an unbound prefix", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" bad:ID=\"L5\"/>"},
      {"a tag left open", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" rdf:ID=\"L5\">"},
      {"a value left open", link,
       "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/f7.c@@/main/1\" rdf:ID=\"L5/>"},
      // The prefix of the title is bound anew in this description only: no title of the record.
      {"a prefix bound anew around it", title,
       "<rdf:Description xmlns:dcterms=\"urn:other\" "
       "rdf:about=\"#L5\"><dcterms:title>t5</dcterms:title></rdf:Description>"},
      {"a prefix bound anew on it", title,
       "<rdf:Description rdf:about=\"#L5\"><dcterms:title "
       "xmlns:dcterms=\"urn:other\">t5</dcterms:title></rdf:Description>"},
  };
  const std::string base = many_links(12, -1, 0);
  for (const auto& v : variants) {
    const size_t at = base.find(v.was);
    ASSERT_NE(std::string::npos, at) << v.what;
    std::string body = base;
    body.replace(at, v.was.size(), v.becomes);
    EXPECT_EQ(read_all(body, false), read_all(body, true)) << v.what;
  }
  // The tags after a rebinding are read under the bindings of their own place again.
  std::string body = base;
  const size_t at = body.find(title);
  body.replace(at, title.size(), variants[12].becomes);
  CM_XmlRecordReader reader(record_shape());
  CM_XmlRecord record;
  ASSERT_TRUE(reader.Read(body, tag_oslc_cm_tracksChangeSet(), record));
  ASSERT_NE(nullptr, record.FindTitle("#L6"));
  EXPECT_EQ("t6", record.FindTitle("#L6")->text);
  EXPECT_FALSE(record.FindTitle("#L5")->found);
}

// Texts the scanner decodes live in its buffers only until the next tag: the record keeps its own
// copies of those, and views into the answer of the rest.
TEST(StreamReader, KeepsDecodedTextsPastTheScan) {
  const std::string body = slurp("stream_values_decoded.xml");
  CM_XmlRecordReader reader(record_shape());
  CM_XmlRecord record;
  ASSERT_TRUE(reader.Read(body, tag_oslc_cm_tracksChangeSet(), record));
  ASSERT_EQ(3u, record.links.size());
  EXPECT_EQ("L1", record.links[0].raw_id);
  EXPECT_EQ("tw://v/b.c@@/main/1?a=1&b=2", record.links[1].resource);
  EXPECT_EQ(
      "L\xC3\xA9"
      "3",
      record.links[2].raw_id);
  const CM_XmlRecord::Title* title = record.FindTitle(
      "#L\xC3\xA9"
      "3");
  ASSERT_NE(nullptr, title);
  EXPECT_EQ("c", title->text);
  title = record.FindTitle("#L1");
  ASSERT_NE(nullptr, title);
  EXPECT_EQ("\xC3\xA9 & 1", title->text);
}

// One update body, built by both builders from the same calls; values as the engine passes them.
TEST(StreamWriter, WritesTheBytesOfTheDomBuilder) {
  using namespace cmtest;
  const CM_XmlTag link = tag_oslc_cm_tracksChangeSet();
  const BodyStep root = root_step(CM_XmlTag(ns_rdf(), "RDF"));
  const BodyStep pop = pop_step();
  const CM_XmlNamespace odd("a", "urn:a");
  const std::vector<std::vector<BodyStep>> cases = {
      // the update's own order, with an empty and a full link set
      {root, ns_step(ns_oslc()), ns_step(ns_oslc_cm()), ns_step(ns_mr()), ns_step(ns_dcterms()),
       push_step(tag_oslc_cm_ChangeRequest()), attr_step(tag_rdf_about(), "http://h/r/1"), pop,
       pop},
      {root, ns_step(ns_oslc_cm()), ns_step(ns_dcterms()), push_step(tag_oslc_cm_ChangeRequest()),
       attr_step(tag_rdf_about(), "http://h/r?a=1&b=<2>"), push_step(link),
       attr_step(tag_rdf_resource(), "tw://v/a.c@@/main/1"),
       attr_step(tag_dcterms_title(), "a \"q\" 'x'\t\r\n"), pop, push_step(link),
       attr_step(tag_rdf_resource(), "tw://v/\xC3\xA9.c"), attr_step(tag_dcterms_title(), ""), pop,
       pop, pop, pop},
      // a replaced value keeps its place, also under a name split otherwise into prefix and local
      // name; the root's own namespace declared by the caller
      {root, ns_step(ns_rdf()), push_step(link), attr_step(tag_rdf_ID(), "1"),
       attr_step(tag_rdf_resource(), "r"), attr_step(tag_rdf_ID(), "2"),
       attr_step(CM_XmlTag(odd, "b:c"), "3"),
       attr_step(CM_XmlTag(CM_XmlNamespace("a:b", ""), "c"), "4"), push_step(link), pop, pop},
      // a root in the default namespace, declared again as such
      {root_step(CM_XmlTag(CM_XmlNamespace("", "urn:d"), "R")),
       ns_step(CM_XmlNamespace("", "urn:e")), ns_step(odd),
       push_step(CM_XmlTag(CM_XmlNamespace(), "x")), pop},
      // names and values beyond ASCII, and long enough for the word-wise scan, ending on any byte
      {root, push_step(CM_XmlTag(odd, "\xC3\xA9t\xC3\xA9")),
       attr_step(CM_XmlTag(odd, "n\xC3\xBC"), "0123456789abcde\xC3\xA9"),
       attr_step(tag_dcterms_title(), "0123456<>&\"'\t\n\r89abcdef\xE6\x97\xA5"), pop, pop},
      // a root without a namespace, after roots with one
      {root_step(CM_XmlTag(CM_XmlNamespace(), "plain")), push_step(link), pop, pop},
      // names XML does not allow, text the native code page does not hold: the same refusals
      {root, push_step(CM_XmlTag(ns_oslc_cm(), "no good")),
       attr_step(CM_XmlTag(ns_rdf(), "a b"), "v"), pop},
      {root, push_step(link), attr_step(tag_dcterms_title(), "bad \xFF\xFE byte"),
       attr_step(tag_dcterms_title(), "12345678\xFF"), pop, pop, pop},
      {root, push_step(CM_XmlTag(odd, "\xC2\xA0x")), push_step(CM_XmlTag(odd, "\xFFx")),
       push_step(CM_XmlTag(odd, "")), push_step(link),
       // a bad name with a bad value: the value is reported, as the DOM converts it first
       attr_step(CM_XmlTag(ns_rdf(), "a b"), "\xFF"), attr_step(CM_XmlTag(ns_rdf(), "a b"), "ok"),
       // what follows a NUL is not written, but must still be valid
       attr_step(tag_rdf_ID(), SUM_String("ok\0\xFF", 4)),
       attr_step(tag_rdf_about(), SUM_String("ok\0gone", 7)), pop, pop},
  };
  // One writer for all, as the update keeps it from record to record: what a body left behind
  // must not reach the next.
  CM_XmlWriter writer;
  for (size_t i = 0; i < cases.size(); ++i) {
    CM_XmlDoc doc;
    writer.Clear();
    EXPECT_EQ(build_body(doc, cases[i]), build_body(writer, cases[i])) << "case " << i;
    // Handed over, finished or not, the text is Str's, and the writer starts afresh.
    std::string shown, taken;
    if (writer.Str(shown) == 0) {
      EXPECT_EQ(0, writer.Take(taken));
      EXPECT_EQ(shown, taken) << "case " << i;
      cmtest::StderrCapture quiet;
      EXPECT_NE(0, writer.Str(shown));
    }
  }
  // Traced, the traced writer also leaves the DOM builder's trace lines, up to its end. The trace
  // file is the process's: each builder's lines are what it added. Its name holds the second it
  // was named in, so a builder may start a new file.
  std::string file;
  size_t seen = 0;
  for (size_t i = 0; i < cases.size(); ++i) {
    std::string body[2], lines[2];
    for (int traced_writer = 0; traced_writer < 2; ++traced_writer) {
      Tracing trace("CMOSLC", 5);
      {
        std::unique_ptr<CM_XmlBuilder> builder;
        if (traced_writer)
          builder = std::make_unique<CM_XmlTracedWriter>();
        else
          builder = std::make_unique<CM_XmlDoc>();
        body[traced_writer] = build_body(*builder, cases[i]);
      }
      const std::string all = trace.text();
      if (file != CM_Trace::file_path()) {
        file = CM_Trace::file_path();
        seen = 0;
      }
      std::istringstream text(all.substr(seen));
      seen = all.size();
      for (std::string line; std::getline(text, line);)
        lines[traced_writer] += line.substr(std::min(line.find("::TRACE::"), line.size())) + "\n";
    }
    EXPECT_EQ(body[0], body[1]) << "case " << i;
    EXPECT_NE(std::string::npos, lines[0].find("CM_XmlDoc::~CM_XmlDoc::Exiting"));
    EXPECT_EQ(lines[0], lines[1]) << "case " << i;
  }
}

// The writer needs Xerces only to word the refusal of a name: it writes the same with Xerces not
// started (as in a COMMIT whose reads need none).
TEST(StreamWriter, WritesTheSameWithXercesNotStarted) {
  using namespace cmtest;
  const CM_XmlNamespace odd("a", "urn:a");
  const std::vector<BodyStep> steps = {root_step(CM_XmlTag(ns_rdf(), "RDF")),
                                       ns_step(ns_dcterms()),
                                       push_step(CM_XmlTag(odd, "\xC3\xA9")),
                                       attr_step(tag_dcterms_title(), "x<\xC3\xA9>"),
                                       attr_step(CM_XmlTag(odd, "a b"), "v"),
                                       attr_step(tag_rdf_ID(), "\xFF"),
                                       pop_step()};
  ASSERT_EQ(nullptr, XERCES_CPP_NAMESPACE::XMLPlatformUtils::fgMemoryManager);
  std::string written;
  {
    CM_XmlWriter writer;
    written = build_body(writer, steps);
  }
  EXPECT_EQ(nullptr, XERCES_CPP_NAMESPACE::XMLPlatformUtils::fgMemoryManager);
  CM_XmlDoc doc;
  EXPECT_EQ(build_body(doc, steps), written);
}

// An empty element goes in one step only where that cannot differ from the calls: with names the
// writer has written before, two attributes, and values it need not convert.
TEST(StreamWriter, EmptyElementInOneStepAsThroughTheCalls) {
  using namespace cmtest;
  const CM_XmlTag link = tag_oslc_cm_tracksChangeSet();
  std::vector<BodyStep> steps = {root_step(CM_XmlTag(ns_rdf(), "RDF")),
                                 push_step(tag_oslc_cm_ChangeRequest())};
  CM_XmlWriter writer;
  build_body(writer, steps);
  CM_XmlWriter::EmptyElem elem;
  writer.FindEmptyElem(link, tag_rdf_resource(), tag_dcterms_title(), elem);
  EXPECT_FALSE(elem.found());
  const std::vector<BodyStep> calls = {push_step(link), attr_step(tag_rdf_resource(), "r"),
                                       attr_step(tag_dcterms_title(), "t"), pop_step()};
  build_body(writer, calls);
  writer.FindEmptyElem(link, tag_rdf_resource(), tag_rdf_resource(), elem);
  EXPECT_FALSE(elem.found());
  writer.FindEmptyElem(link, tag_rdf_resource(), tag_dcterms_title(), elem);
  ASSERT_TRUE(elem.found());
  EXPECT_TRUE(writer.WriteEmptyElem(elem, "a<&\"'>", std::string_view("b\0c", 3), 1));
  EXPECT_FALSE(writer.WriteEmptyElem(elem, "\xC3\xA9", "b", 0));
  steps.insert(steps.end(), calls.begin(), calls.end());
  for (const BodyStep& step : {push_step(link), attr_step(tag_rdf_resource(), "a<&\"'>"),
                               attr_step(tag_dcterms_title(), "b"), pop_step()})
    steps.push_back(step);
  CM_XmlDoc doc;
  build_body(doc, steps);
  SUM_String written, expected;
  ASSERT_EQ(0, writer.Str(written));
  ASSERT_EQ(0, doc.Str(expected));
  EXPECT_EQ(expected.str(), written.str());
}

// A whole COMMIT's updates, written by the streaming writer (XML layer untraced) and by the traced
// writer: the tracker receives the same bodies, the writer serving record after record.
TEST(StreamWriter, ACommitSendsTheBodiesOfTheDomBuilder) {
  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  std::string sent[2];
  for (int traced = 0; traced < 2; ++traced) {
    cmtest::Tracing trace("CMOSLC", traced ? 3 : 0);
    CM_ActionMap actions;
    for (const char* id : {"MR1", "MR2"}) {
      sim.put_record({{"dbset", "dbs1"},
                      {"userdb", "db1"},
                      {"id", id},
                      {"links", cmtest::link_list("a=Gr\xc3\xbc\xc3\x9f,b=x<y>&\"q\"")}});
      for (int i = 0; i < 50; ++i) {
        const std::string n = std::to_string(i);
        cmtest::schedule(actions, true, id, "http://v/f" + n + "?a=1&b=<2>", "t'" + n + "\xc3\xa9");
      }
      cmtest::schedule(actions, false, id, "a", "");
    }
    sim.clear_log();
    CM_OslcBaseMr engine;
    engine.init(cmtest::make_session(sim.base_url()));
    EXPECT_EQ(0, engine.do_modify_associations(actions)) << engine.get_error();
    for (const auto& request : sim.log())
      if (request["method"] == "PUT") sent[traced] += request["body"].get<std::string>() + "\n";
  }
  EXPECT_NE(std::string::npos, sent[0].find("t&apos;49\xc3\xa9")) << sent[0];
  EXPECT_EQ(sent[1], sent[0]);
}

}  // namespace
