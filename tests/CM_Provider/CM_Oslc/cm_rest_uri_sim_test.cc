// Request object tests against the tracker simulator over HTTPS: a client certificate from the
// user's store or a token, and optional server verification, using a test CA made with the
// openssl command at test time.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "CM_Provider/CM_Oslc/cm_rest_request.h"
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
