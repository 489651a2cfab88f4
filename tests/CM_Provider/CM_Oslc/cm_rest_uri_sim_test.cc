// Request object tests against the tracker simulator: what reaches the tracker (its request
// log), basic authentication and the session cookie, record update by PUT, server error bodies,
// and HTTPS with a client certificate and optional server verification, using a test CA made
// with the openssl command at test time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "CM_Provider/CM_Oslc/cm_rest_uri.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

// OpenSSL's PKCS#11 engine, loaded by the token-label test, allocates method tables that it
// never frees before exit; that is the engine's business, not the request's.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so.3\n";
}

namespace {

using cmtest::ScopedEnv;

const char kSeed[] = R"({"records":[{"dbset":"S","userdb":"D","id":"MR00001",)"
                     R"("links":[{"resource":"tw://v/1","title":"first version"}]}]})";

const char kAuthFailed[] =
    "Authorization failed.  Please check your credentials and connection information.\n";

// The header names and values of one logged request, in the order they arrived.
std::vector<std::pair<std::string, std::string>> header_list(const nlohmann::json& entry) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& pair : entry.at("header_list")) out.emplace_back(pair.at(0), pair.at(1));
  return out;
}

int index_of(const std::vector<std::pair<std::string, std::string>>& headers,
             const std::string& name, const std::string& value) {
  for (size_t i = 0; i < headers.size(); ++i) {
    if (headers[i].first == name && headers[i].second == value) return static_cast<int>(i);
  }
  return -1;
}

class RestUriSimTest : public ::testing::Test {
 protected:
  cmtest::TempHome home;

  static cmtest::TrackerSimOptions plain_options() {
    cmtest::TrackerSimOptions options;
    options.seed_json = kSeed;
    options.users = {{"alice", "s3cret"}};
    return options;
  }

  // GET of the seeded record's query URL.
  static void build_record_query(CM_RestUri& req, const std::string& base, const char* id) {
    req.SetBaseUri(base.c_str());
    req.AppendResourceParam("repo", 1);
    req.AppendResourceParam("S", 1);
    req.AppendResourceParam("db", 1);
    req.AppendResourceParam("D", 1);
    req.AppendResourceParam("record", 1);
    req.AppendNameValue("vqm.name", id);
  }
};

TEST_F(RestUriSimTest, GetReachesTheTrackerWithItsHeadersAndKeepsTheSession) {
  cmtest::TrackerSim sim(plain_options());
  ASSERT_TRUE(sim.running());
  CM_RestUriGet req;
  ASSERT_EQ(0, req.Init());
  build_record_query(req, sim.base_url(), "MR00001");
  req.SetUsername("alice");
  req.SetPassword("s3cret");
  std::string response;
  ASSERT_EQ(0, req.Run(response)) << req.error_msg();
  EXPECT_NE(std::string::npos, response.find("ChangeRequest"));
  SUM_String cookie;
  req.GetCookie(cookie);
  ASSERT_EQ(0, std::string(cookie.c_str()).find("JSESSIONID="));

  // The session cookie alone carries the next request.
  ASSERT_EQ(0, req.Init());
  build_record_query(req, sim.base_url(), "MR00001");
  req.SetUsername("");
  req.SetPassword("");
  req.SetCookie(cookie);
  ASSERT_EQ(0, req.Run(response)) << req.error_msg();

  nlohmann::json log = sim.log();
  ASSERT_EQ(2u, log.size());
  const nlohmann::json& first = log[0];
  EXPECT_EQ("GET", first.at("method"));
  EXPECT_EQ("/oslc/repo/S/db/D/record", first.at("path"));
  EXPECT_EQ("vqm.name=MR00001", first.at("query"));
  EXPECT_EQ(200, first.at("status"));
  auto headers = header_list(first);
  int oslc = index_of(headers, "OSLC-Core-Version", "2.0");
  int accept = index_of(headers, "Accept", "application/xml");
  int keep = index_of(headers, "Keep-Alive", "300");
  int conn = index_of(headers, "Connection", "keep-alive");
  EXPECT_GE(oslc, 0);
  EXPECT_LT(oslc, accept);
  EXPECT_LT(accept, keep);
  EXPECT_LT(keep, conn);
  EXPECT_GE(index_of(headers, "User-Agent", "Tarnwell-agent/7.1.2.9"), 0);
  EXPECT_EQ(-1, index_of(headers, "Content-Type", "application/rdf+xml"));
  EXPECT_EQ(cookie.c_str(), log[1].at("headers").value("Cookie", ""));
}

TEST_F(RestUriSimTest, TrackerRefusalsMapToTheirCodes) {
  cmtest::TrackerSim sim(plain_options());
  ASSERT_TRUE(sim.running());
  CM_RestUriGet req;
  std::string response = "old";

  ASSERT_EQ(0, req.Init());
  build_record_query(req, sim.base_url(), "MR00001");
  req.SetUsername("alice");
  req.SetPassword("wrong");
  EXPECT_EQ(20004, req.Run(response));
  EXPECT_EQ("old", response);
  EXPECT_EQ(kAuthFailed, req.error_msg());

  req.SetPassword("s3cret");
  ASSERT_EQ(0, req.Init());
  build_record_query(req, sim.base_url(), "MR99999");
  EXPECT_EQ(20003, req.Run(response));
  EXPECT_EQ("The requested resource was not found.\n", req.error_msg());

  sim.fault("500");
  ASSERT_EQ(0, req.Init());
  build_record_query(req, sim.base_url(), "MR00001");
  std::string before = req.error_msg();
  EXPECT_EQ(20001, req.Run(response));
  std::string added = req.error_msg().substr(before.size());
  EXPECT_FALSE(added.empty());
  EXPECT_EQ('\n', added.back());
}

TEST_F(RestUriSimTest, PutReplacesTheRecordLinks) {
  cmtest::TrackerSim sim(plain_options());
  ASSERT_TRUE(sim.running());
  std::string response;
  CM_RestUriGet get;
  ASSERT_EQ(0, get.Init());
  build_record_query(get, sim.base_url(), "MR00001");
  get.SetUsername("alice");
  get.SetPassword("s3cret");
  ASSERT_EQ(0, get.Run(response)) << get.error_msg();
  const size_t element = response.find("ChangeRequest ");
  const size_t about = response.find("rdf:about=\"", element);
  ASSERT_NE(std::string::npos, element) << response;
  ASSERT_NE(std::string::npos, about) << response;
  const size_t start = about + strlen("rdf:about=\"");
  const std::string stable = response.substr(start, response.find('"', start) - start);

  const std::string body =
      "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
      " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\""
      " xmlns:dcterms=\"http://purl.org/dc/terms/\">"
      "<oslc_cm:ChangeRequest rdf:about=\"" +
      stable +
      "\">"
      "<oslc_cm:tracksChangeSet rdf:resource=\"tw://v/2\" rdf:ID=\"link1\"/>"
      "</oslc_cm:ChangeRequest>"
      "<rdf:Description rdf:about=\"#link1\"><dcterms:title>second version</dcterms:title>"
      "</rdf:Description></rdf:RDF>";
  CM_RestUriPut put;
  ASSERT_EQ(0, put.Init());
  put.SetBaseUri(stable.c_str());
  put.AppendNameValue("oslc.properties", "oslc_cm:tracksChangeSet");
  put.SetUsername("alice");
  put.SetPassword("s3cret");
  put.SetUploadData(body.c_str());
  ASSERT_EQ(0, put.Run(response)) << put.error_msg();

  nlohmann::json rec = sim.record("S", "D", "MR00001");
  ASSERT_EQ(1u, rec.at("links").size()) << rec.dump();
  EXPECT_EQ("tw://v/2", rec["links"][0].at("resource"));

  nlohmann::json entry = sim.log().back();
  EXPECT_EQ("PUT", entry.at("method"));
  EXPECT_EQ(body, entry.at("body"));
  auto headers = header_list(entry);
  EXPECT_GE(index_of(headers, "Content-Type", "application/rdf+xml"), 0);
  EXPECT_GE(index_of(headers, "Accept", "application/rdf+xml"), 0);
  EXPECT_FALSE(entry.at("headers").contains("Expect"));

  // A body the tracker cannot read is refused with its messages.
  ASSERT_EQ(0, put.Init());
  put.SetBaseUri(stable.c_str());
  put.AppendNameValue("oslc.properties", "oslc_cm:tracksChangeSet");
  put.SetUploadData("<rdf:RDF this is not xml");
  EXPECT_EQ(20001, put.Run(response));
  EXPECT_EQ("tw://v/2", sim.record("S", "D", "MR00001")["links"][0].at("resource"));
}

// ---- HTTPS ----

// A test CA, a server certificate for 127.0.0.1 and a client certificate for "alice", made once.
class TestPki {
 public:
  TestPki() {
    char tmpl[] = "/tmp/cm_rest_pki_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    m_dir = tmpl;
    const std::string d = m_dir;
    cmtest::write_file(d + "/server.ext", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string cmd =
        "cd " + d + " && " + "openssl req -x509" + ec +
        " -keyout ca.key -out ca.pem -days 2 -subj /CN=RestTestCA && "
        "openssl req" +
        ec +
        " -keyout server.key -out server.csr -subj /CN=127.0.0.1 && "
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out server.pem -days 2 -extfile server.ext && "
        "openssl req" +
        ec +
        " -keyout client.key -out client.csr -subj /CN=alice && "
        "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
        "-out client.pem -days 2 && "
        "openssl req -x509" +
        ec +
        " -keyout rogue.key -out rogue.pem -days 2 -subj /CN=rogue && "
        "cat client.pem client.key > alice.pem && cat rogue.pem rogue.key > mallory.pem";
    std::string out;
    m_ok = cmtest::run_command("(" + cmd + ") 2>&1", &out) == 0;
    if (!m_ok) m_error = out;
  }
  ~TestPki() {
    if (!m_dir.empty()) cmtest::run_command("rm -rf " + m_dir);
  }
  bool ok() const { return m_ok; }
  const std::string& error() const { return m_error; }
  std::string file(const char* name) const { return m_dir + "/" + name; }

 private:
  std::string m_dir;
  std::string m_error;
  bool m_ok = false;
};

class RestUriTlsTest : public RestUriSimTest {
 protected:
  static void SetUpTestSuite() { s_pki = new TestPki(); }
  static void TearDownTestSuite() {
    delete s_pki;
    s_pki = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(s_pki->ok()) << s_pki->error();
    // The user's certificate store holds alice's certificate and key.
    const std::string certs = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/Certs";
    ASSERT_EQ(0, cmtest::run_command("mkdir -p " + certs));
    cmtest::write_file(certs + "/alice.pem", cmtest::read_file(s_pki->file("alice.pem")));
    cmtest::write_file(certs + "/mallory.pem", cmtest::read_file(s_pki->file("mallory.pem")));
  }
  static cmtest::TrackerSimOptions tls_options(bool client_cert) {
    cmtest::TrackerSimOptions options = plain_options();
    options.tls = true;
    options.cert = s_pki->file("server.pem");
    options.key = s_pki->file("server.key");
    if (client_cert) options.client_ca = s_pki->file("ca.pem");
    return options;
  }
  int fetch(CM_RestUri& req, const std::string& base, std::string& response) {
    int rc = req.Init();
    if (rc != 0) return rc;
    build_record_query(req, base, "MR00001");
    req.SetUsername("alice");
    req.SetPassword("s3cret");
    return req.Run(response);
  }
  static TestPki* s_pki;
};

TestPki* RestUriTlsTest::s_pki = nullptr;

TEST_F(RestUriTlsTest, ClientCertificateFromTheUserStore) {
  cmtest::TrackerSim sim(tls_options(true));
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  ASSERT_EQ(0u, sim.base_url().find("https://"));
  CM_RestUriGet req;
  std::string response;

  // No label: the server demands a certificate and the handshake fails.
  EXPECT_EQ(20005, fetch(req, sim.base_url(), response));
  EXPECT_EQ(0u, req.error_msg().find("CURL returned status code")) << req.error_msg();

  req.set_cert_label("alice");
  ASSERT_EQ(0, fetch(req, sim.base_url(), response)) << req.error_msg();
  EXPECT_NE(std::string::npos, response.find("ChangeRequest"));
  nlohmann::json log = sim.log();
  ASSERT_FALSE(log.empty());
  EXPECT_EQ("alice", log.back().value("client_cert", ""));

  // A certificate from another CA is refused; clearing the label sends none again.
  req.set_cert_label("mallory");
  EXPECT_EQ(20005, fetch(req, sim.base_url(), response));
  req.set_cert_label("alice");
  ASSERT_EQ(0, fetch(req, sim.base_url(), response)) << req.error_msg();
  req.set_cert_label("");
  EXPECT_EQ(20005, fetch(req, sim.base_url(), response));
}

TEST_F(RestUriTlsTest, LabelWithoutFileGoesToTheTokenAndFailsCleanly) {
  cmtest::TrackerSim sim(tls_options(true));
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  // Labels that are not plain file names never reach outside the certificate folder.
  cmtest::write_file(home.path() + "/outside.pem", cmtest::read_file(s_pki->file("alice.pem")));
  for (const char* label : {"no-such-card", "../../../../../outside", "/etc/ssl/x"}) {
    SCOPED_TRACE(label);
    CM_RestUriGet req;
    req.set_cert_label(label);
    std::string response = "old";
    int rc = fetch(req, sim.base_url(), response);
    // Without a usable token the engine is refused at Init or the handshake fails.
    EXPECT_TRUE(rc == 20006 || rc == 20005) << rc;
    EXPECT_EQ("old", response);
  }
}

TEST_F(RestUriTlsTest, ServerVerificationIsOptIn) {
  cmtest::TrackerSim sim(tls_options(false));
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  CM_RestUriGet req;
  std::string response;
  EXPECT_EQ(0, fetch(req, sim.base_url(), response)) << req.error_msg();

  ScopedEnv verify("TAPIR_CMI_SSL_VERIFY", "1");
  EXPECT_EQ(20005, fetch(req, sim.base_url(), response));
  EXPECT_EQ(0u, req.error_msg().find("CURL returned status code, \"60\"")) << req.error_msg();
  {
    ScopedEnv bundle("TAPIR_CMI_CA_BUNDLE", s_pki->file("ca.pem").c_str());
    EXPECT_EQ(0, fetch(req, sim.base_url(), response)) << req.error_msg();
  }
  {
    ScopedEnv bundle("TAPIR_CMI_CA_BUNDLE", s_pki->file("rogue.pem").c_str());
    EXPECT_EQ(20005, fetch(req, sim.base_url(), response));
  }
}

TEST_F(RestUriTlsTest, UploadRefusedMidBodyOverTlsFailsWithoutSignal) {
  // The tracker answers an oversized body at once and closes while the upload is still going.
  cmtest::TrackerSim sim(tls_options(false));
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  CM_RestUriPut req;
  ASSERT_EQ(0, req.Init());
  build_record_query(req, sim.base_url(), "MR00001");
  req.SetUploadData(std::string(size_t{65} << 20, 'u').c_str());
  std::string response;
  int rc = req.Run(response);
  EXPECT_TRUE(rc == 20005 || rc == 20001) << rc;
}

}  // namespace
