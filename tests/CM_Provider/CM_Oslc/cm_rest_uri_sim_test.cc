// Request object tests against the tracker simulator over HTTPS: a client certificate from the
// user's store or a token, and optional server verification, using a test CA made with the
// openssl command at test time.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CM_Provider/CM_Oslc/cm_rest_request.h"
#include "support/temp_home.h"
#include "support/tracker_sim.h"

// OpenSSL's PKCS#11 engine, loaded by the token-label rows, allocates method tables that it
// never frees before exit; that is the engine's business, not the request's.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libcrypto.so.3\n";
}

namespace {

// A test CA, a server certificate for 127.0.0.1, a client certificate (CN card-holder) stored as
// alice's and a rogue self-signed one, made once in a temporary folder.
class RestUriTlsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    s_dir = cmtest::make_temp_dir("cm_rest_pki");
    s_ok = cmtest::make_test_certificates(s_dir, &s_error) &&
           cmtest::run_command("(cd " + s_dir +
                                   " && openssl req -x509 -newkey ec -pkeyopt"
                                   " ec_paramgen_curve:prime256v1 -nodes -keyout rogue.key -out"
                                   " rogue.pem -days 2 -subj /CN=rogue && cat rogue.pem rogue.key"
                                   " > mallory.pem && cp client-bundle.pem alice.pem) 2>&1",
                               &s_error) == 0;
  }
  static void TearDownTestSuite() { cmtest::run_command("rm -rf " + s_dir); }
  void SetUp() override {
    ASSERT_TRUE(s_ok) << s_error;
    // The user's certificate store holds alice's certificate and key, and mallory's.
    const std::string certs = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/Certs";
    ASSERT_EQ(0, cmtest::run_command("mkdir -p " + certs));
    for (const char* name : {"alice.pem", "mallory.pem"})
      cmtest::write_file(certs + "/" + name, cmtest::read_file(s_dir + "/" + name));
    cmtest::TrackerSimOptions options;
    options.seed_json = R"({"records":[{"dbset":"S","userdb":"D","id":"MR1","links":[]}]})";
    options.users = {{"alice", "s3cret"}};
    options.tls = true;
    options.cert = s_dir + "/server.pem";
    options.key = s_dir + "/server.key";
    options.client_ca = s_dir + "/ca.pem";
    sim = std::make_unique<cmtest::TrackerSim>(options);
    ASSERT_TRUE(sim->running()) << sim->stderr_text();
  }
  // The seeded record's query URL on a fresh Init.
  int Init(CM_RestUri& req) {
    const int rc = req.Init();
    req.SetBaseUri(sim->base_url().c_str());
    for (const char* segment : {"repo", "S", "db", "D", "record"})
      req.AppendResourceParam(segment, 1);
    req.AppendNameValue("vqm.name", "MR1");
    req.SetUsername("alice");
    req.SetPassword("s3cret");
    return rc;
  }
  static std::string s_dir, s_error;
  static bool s_ok;
  cmtest::TempHome home;
  std::unique_ptr<cmtest::TrackerSim> sim;
};

std::string RestUriTlsTest::s_dir, RestUriTlsTest::s_error;
bool RestUriTlsTest::s_ok = false;

// One request object through every row, in order: the server demands a client certificate.
TEST_F(RestUriTlsTest, ClientCertificateAndServerVerification) {
  cmtest::write_file(home.path() + "/outside.pem", cmtest::read_file(s_dir + "/alice.pem"));
  const struct {
    // verify: TAPIR_CMI_SSL_VERIFY; bundle: TAPIR_CMI_CA_BUNDLE in the test CA's folder; "": unset
    const char *label, *verify, *bundle;
    bool ok;
  } rows[] = {
      {"", "", "", false},  // no certificate sent
      {"alice", "", "", true},
      {"mallory", "", "", false},  // another CA's
      {"alice", "", "", true},
      {"", "", "", false},  // a cleared label sends none again
      // Labels without a file go to the token; those that are not plain file names never reach
      // outside the certificate folder.
      {"no-such-card", "", "", false},
      {"../../../../../outside", "", "", false},
      {"/etc/ssl/x", "", "", false},
      {"alice", "1", "", false},  // the server's certificate is not from the system CAs
      {"alice", "1", "ca.pem", true},
      {"alice", "1", "rogue.pem", false},
  };
  CM_RestUriGet req;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.label) + " verify " + row.verify + " bundle " + row.bundle);
    cmtest::ScopedEnv verify("TAPIR_CMI_SSL_VERIFY", *row.verify ? row.verify : nullptr);
    const std::string bundle = *row.bundle ? s_dir + "/" + row.bundle : "";
    cmtest::ScopedEnv ca("TAPIR_CMI_CA_BUNDLE", *row.bundle ? bundle.c_str() : nullptr);
    req.set_cert_label(row.label);
    std::string response = "old";
    const int init = Init(req);
    const int rc = init != 0 ? init : req.Run(response);
    if (row.ok) {
      ASSERT_EQ(0, rc) << req.error_msg();
      EXPECT_NE(std::string::npos, response.find("ChangeRequest"));
      EXPECT_EQ("card-holder", sim->log().back().value("client_cert", ""));
    } else {
      // Without a usable token the engine is refused at Init or the handshake fails.
      EXPECT_TRUE(rc == 20005 || (rc == 20006 && init == rc)) << rc;
      EXPECT_EQ("old", response);
    }
  }
}

TEST_F(RestUriTlsTest, UploadRefusedMidBodyFailsWithoutSignal) {
  // The tracker answers an oversized body at once and closes while the upload is still going.
  CM_RestUriPut req;
  req.set_cert_label("alice");
  ASSERT_EQ(0, Init(req));
  req.SetUploadData(std::string(size_t{65} << 20, 'u').c_str());
  std::string response;
  const int rc = req.Run(response);
  EXPECT_TRUE(rc == 20005 || rc == 20001) << rc;
}

}  // namespace
