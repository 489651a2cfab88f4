// The certificate-label path: a label in ~/.cmi_cert_label selects a client certificate from the
// user's certificate folder, and COMMIT authenticates with it over HTTPS instead of a login.
#include <gtest/gtest.h>

#include <string>

#include "plugin/plugin_host.h"
#include "support/temp_home.h"
#include "support/test_certs.h"
#include "support/tracker_sim.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using cmtest::Reply;

const char kSeed[] = R"({"records":[{"dbset":"S1","userdb":"DB1","id":"MR7","links":[]}]})";

TEST(CertificateLabel, CommitAuthenticatesWithTheLabelledClientCertificate) {
  cmtest::TempHome home;
  cmtest::PluginHost host;
  ASSERT_TRUE(host.ok()) << host.error();
  std::string log;
  ASSERT_TRUE(cmtest::make_test_certificates(home.path(), &log)) << log;

  cmtest::TrackerSimOptions opt;
  opt.seed_json = kSeed;
  opt.tls = true;
  opt.cert = home.path() + "/server.pem";
  opt.key = home.path() + "/server.key";
  opt.client_ca = home.path() + "/ca.pem";
  cmtest::TrackerSim sim(opt);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  ASSERT_EQ(sim.base_url().rfind("https://", 0), 0u);

  // Without a label there is no client certificate and the handshake is refused.
  const std::string certs = home.path() + "/.Corvane/.Registry/Tarnwell/CMI/Certs";
  for (bool labelled : {false, true}) {
    if (labelled) {
      ASSERT_EQ(cmtest::run_command("mkdir -p '" + certs + "' && cp '" + home.path() +
                                    "/client-bundle.pem' '" + certs + "/card-1.pem'"),
                0);
      cmtest::write_file(home.path() + "/.cmi_cert_label", "card-1\n");
    }
    void* h = host.init(init_request("cert-prov", sim.base_url(), "DB1", "S1"));
    ASSERT_EQ(host.associate(h, change_request("sel-cert", "Cert", "MR7")).rc, 1);
    Reply r = host.commit(h);
    EXPECT_EQ(r.status(), labelled ? "0" : "10007") << r.text;
  }
  nlohmann::json rec = sim.record("S1", "DB1", "MR7");
  ASSERT_EQ(rec["links"].size(), 1u) << rec.dump();
  EXPECT_EQ(rec["links"][0]["resource"], "sel-cert");
  bool saw_client = false;
  for (const auto& e : sim.log())
    saw_client |= e.value("client_cert", std::string()) == "card-holder";
  EXPECT_TRUE(saw_client) << "the tracker saw the labelled certificate";
}

}  // namespace
