// Record update against canned answers: where the PUT goes, what it carries, and the answers to
// failures.
#include "CM_Provider/CM_Oslc/cm_oslc_test_support.h"

namespace {

class OslcSetTest : public cmtest::CannedTest {
 protected:
  void SetUp() override {
    CannedTest::SetUp();
    session = cmtest::make_session(server.url() + "/oslc", "bob", "secret");
    links["http://v/b"] = links.NewVersion("Bee");
    links["http://v/a"] = links.NewVersion("A & <x> \"q\" \xC3\xA9");
  }

  // Reads a record whose rdf:about is stable_uri (empty: none), then prepares the update.
  int ReadAndInit(const std::string& stable_uri, const std::string& header = "") {
    server.push(200, cmtest::record_doc(stable_uri, "", ""),
                header.empty() ? std::vector<std::string>{} : std::vector<std::string>{header});
    EXPECT_EQ(0, get.Init(session, "MR1"));
    EXPECT_EQ(0, get.Execute());
    return set.Initv2(session, get, "tracksChangeSet");
  }

  CM_Session session;
  CM_LinksMap links;
  CM_OslcGet get;
  CM_OslcSet set;
};

// The PUT goes to the stable URI as the server gave it, conditional on the read's tag, its body
// byte for byte (the tracker reads declarations and attributes in this order); a refusal gives
// its status.
TEST_F(OslcSetTest, PutCarriesTheLinksToTheStableUriOnTheTagOfTheRead) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><rdf:RDF"
      " xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:oslc=\"http://open-services.net/ns/core#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\""
      " xmlns:mr=\"http://www.corvane.com/xmlns/prod/corvane/merrow/1.0/\""
      " xmlns:dcterms=\"http://purl.org/dc/terms/\"><oslc_cm:ChangeRequest rdf:about=\"" +
      server.url();
  const std::string two =
      "\"><oslc_cm:tracksChangeSet rdf:resource=\"http://v/a\""
      " dcterms:title=\"A &amp; &lt;x&gt; &quot;q&quot; \xC3\xA9\"/><oslc_cm:tracksChangeSet"
      " rdf:resource=\"http://v/b\" dcterms:title=\"Bee\"/></oslc_cm:ChangeRequest></rdf:RDF>";
  // The ETag line of the read's answer (empty: none) and the If-Match it makes ("-": none).
  struct Case {
    const char *path, *etag, *if_match;
    bool links;
    int http, status;
  } const cases[] = {
      {"/rec/7", "ETag: \"7-3\"", "\"7-3\"", true, 200, 0},
      {"/rec/7?x=1", "etag:   W/\"x\"  ", "W/\"x\"", false, 200, 0},
      {"/rec/7", "", "-", true, 200, 0},
      {"/rec/7", "ETag: \"a\tb\"", "-", false, 200, 0},  // cannot go back in one header line
      {"/rec/7", "", "-", false, 404, 20001},
      {"/rec/7", "", "-", false, 401, 20004},
  };
  const CM_LinksMap none;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.etag) + std::to_string(c.http));
    ASSERT_EQ(0, ReadAndInit(server.url() + c.path, c.etag));
    ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), c.links ? links : none));
    server.push(c.http, "");
    ASSERT_EQ(c.status, set.Execute()) << set.get_error();
    auto request = server.requests().back();
    EXPECT_EQ("PUT " + std::string(c.path) + "?oslc.properties=oslc_cm%3AtracksChangeSet",
              request.method + " " + request.target);
    const std::string if_match =
        request.headers.count("If-Match") ? request.headers["If-Match"] : "-";
    EXPECT_EQ(
        "application/rdf+xml|Basic Ym9iOnNlY3JldA==|" + std::string(c.if_match),
        request.headers["Content-Type"] + "|" + request.headers["Authorization"] + "|" + if_match);
    EXPECT_EQ(head + c.path + (c.links ? two : "\"/></rdf:RDF>"), request.body);
  }
}

// Login and cookie never go to another origin; a record without an address, a document that
// cannot be made or a body already sent is never written.
TEST_F(OslcSetTest, OnlyAReadRecordOnTheTrackersOriginIsWrittenOnce) {
  EXPECT_NE(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  EXPECT_NE(0, set.Execute());
  EXPECT_NE(0, ReadAndInit(""));
  EXPECT_NE(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), CM_LinksMap()));
  EXPECT_NE(0, set.Execute());
  for (const char* foreign : {"http://elsewhere.example/rec/7", "http://127.0.0.1:1/rec/7"})
    EXPECT_EQ(CM_OSLC_SET_FOREIGN_ORIGIN, ReadAndInit(foreign)) << foreign;
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
  EXPECT_NE(0, set.SetLinksValues(CM_XmlTag(ns_oslc_cm(), "no good"), links));
  EXPECT_NE("", set.get_error());
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));  // the failed link set spent the update
  ASSERT_EQ(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  server.push(200, "", {"Set-Cookie: JSESSIONID=renewed; Path=/"});
  ASSERT_EQ(0, set.Execute());
  EXPECT_NE(0, set.Execute());
  std::string methods;
  for (const auto& request : server.requests()) methods += request.method + " ";
  EXPECT_EQ("GET GET GET GET GET PUT ", methods);
  EXPECT_EQ(SUM_String("JSESSIONID=renewed"), cmtest::make_session(server.url()).GetCookie());
}

// A link set that fails halfway (a title the code page cannot hold) spends the update: a later
// Execute sends nothing rather than the half-built body.
TEST_F(OslcSetTest, HalfBuiltBodyIsNeverSent) {
  ASSERT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
  links["http://v/c"] = links.NewVersion("bad \xFF");
  EXPECT_NE(0, set.SetLinksValues(tag_oslc_cm_tracksChangeSet(), links));
  EXPECT_NE(0, set.Execute());
  EXPECT_EQ(1u, server.requests().size());
}

}  // namespace

// Untraced, the writer takes most links in a step of its own; traced, each goes through the
// builder's calls. Both send the same body, or refuse at the same link with the same status,
// message and printed text, whatever the texts hold and whether the writer knows the names yet.
TEST_F(OslcSetTest, LinksWrittenInOneStepAsThroughTheCalls) {
  struct Link {
    SUM_String selector, title;
    bool versionless;
  };
  struct Case {
    const char* field;
    std::vector<Link> links;
  };
  std::vector<Case> cases = {
      {"no good", {{"http://v/a", "A", false}}},
      {"tracksChangeSet",
       {{"http://v/a", "A", false},
        {"http://v/b", "", false},
        {"http://v/c", "", true},
        {"http://v/q?a=1&b=<2>", "x\"y'z\t\n\r", false},
        {"http://v/\xC3\xA9", "plain", false},
        {"http://v/z", "\xC3\xA9", false},
        {SUM_String("http://v/n\0gone", 15), SUM_String("ab\0<\xFF", 5), false}}},
      {"tracksChangeSet",
       {{"http://v/1", "ok", false}, {"http://v/2", "bad \xFF", false}, {"http://v/3", "", false}}},
      {"tracksChangeSet", {{"http://v/1", "ok", false}, {"http://v/2\xFF", "ok", false}}},
  };
  // Texts of every length up to three blocks of sixteen, with a character to escape, a NUL or a
  // non-ASCII one at the start, in the middle or at the end.
  for (size_t n = 1; n <= 48; ++n) {
    Case lengths{"tracksChangeSet", {}};
    for (const std::string odd : {"a", "<", ">", "&", "\"", "'", "\t", "\n", "\r", "\xC3\xA9"}) {
      for (const size_t at : {size_t{0}, n / 2, n - 1}) {
        std::string text(n, 'x');
        text.replace(at, 1, odd);
        const std::string key = std::to_string(lengths.links.size()) + "/";
        lengths.links.push_back({SUM_String(key + text), "t", false});
        lengths.links.push_back({SUM_String(key + "t"), SUM_String(text), false});
      }
    }
    lengths.links.push_back(
        {"nul", SUM_String(std::string(n, 'x').append("\0z", 2).c_str(), n + 2), false});
    cases.push_back(lengths);
  }
  const auto outcome = [&](const Case& c, bool traced) {
    std::unique_ptr<cmtest::Tracing> trace;
    if (traced) trace = std::make_unique<cmtest::Tracing>("CMOSLC", 3);
    CM_LinksMap map;
    for (const Link& link : c.links)
      map[link.selector] = link.versionless ? nullptr : map.NewVersion(link.title);
    EXPECT_EQ(0, ReadAndInit(server.url() + "/rec/7"));
    std::string seen;
    {
      cmtest::StderrCapture printed;
      const int status = set.SetLinksValues(CM_XmlTag(ns_oslc_cm(), c.field), map);
      seen = std::to_string(status) + " " + set.get_error() + "\n" + printed.text();
    }
    if (seen[0] == '0') {
      server.push(200, "");
      EXPECT_EQ(0, set.Execute());
      seen += server.requests().back().body;
    }
    return seen;
  };
  for (size_t i = 0; i < cases.size(); ++i)
    EXPECT_EQ(outcome(cases[i], true), outcome(cases[i], false)) << "case " << i;
}
