// cmtest::TrackerSim, the launcher every simulator test relies on: it starts the simulator on
// an ephemeral loopback port, its control helpers reach it (over the separate control port for
// TLS), and it leaves no process behind. The simulator's own behaviour is tested in Python.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "support/temp_home.h"
#include "support/test_certs.h"
#include "support/tracker_sim.h"

namespace {

using nlohmann::json;

// Status of one GET on the served side; 0 when no answer came within timeout_ms.
long get(const std::string& url, long timeout_ms = 30000) {
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, timeout_ms);
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(
      curl.get(), CURLOPT_WRITEFUNCTION,
      +[](char*, size_t size, size_t count, void*) { return size * count; });
  long status = 0;
  if (curl_easy_perform(curl.get()) == CURLE_OK)
    curl_easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  return status;
}

std::string record_url(const cmtest::TrackerSim& sim) {
  return sim.base_url() + "/repo/S/db/D/record?vqm.name=MR1";
}

TEST(TrackerSimLauncher, ControlHelpersSeeWhatTheServedSideDoes) {
  cmtest::TrackerSimOptions options;
  options.db_path = ::testing::TempDir() + "tracker_sim_launcher_test.sqlite";
  std::remove(options.db_path.c_str());
  std::string stable;
  {
    cmtest::TrackerSim sim(options);
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    EXPECT_EQ(sim.base_url(), "http://127.0.0.1:" + std::to_string(sim.port()) + "/oslc");
    EXPECT_TRUE(sim.record("S", "D", "MR1").is_null()) << "unknown: null, not a failure";
    sim.put_record({{"dbset", "S"},
                    {"userdb", "D"},
                    {"id", "MR1"},
                    {"links", {{{"resource", "tw://kept"}, {"title", "kept"}}}}});
    stable =
        sim.record("S", "D", "MR1")["stable_uri"].get<std::string>().substr(sim.base_url().size());
    sim.fault("500", 1, "vqm.name=MR1");
    EXPECT_EQ(get(record_url(sim)), 500);
    sim.fault("404", 5);
    sim.clear_faults();
    EXPECT_EQ(get(record_url(sim)), 200);
    const json log = sim.log();
    ASSERT_EQ(log.size(), 2u) << log;
    EXPECT_EQ(log[0]["fault"], "500");
    EXPECT_EQ(sim.stats()["requests"], 2);
    sim.clear_log();
    EXPECT_TRUE(sim.log().empty());
  }
  // Records live in the database file: a second simulator on it finds them, under one URI.
  cmtest::TrackerSim second(options);
  ASSERT_TRUE(second.running()) << second.stderr_text();
  const json record = second.record("S", "D", "MR1");
  EXPECT_EQ(record["links"][0]["resource"], "tw://kept");
  EXPECT_EQ(record["stable_uri"].get<std::string>().substr(second.base_url().size()), stable)
      << "the record key is stable";
  EXPECT_EQ(second.stop(), 0) << "SIGTERM ends the simulator with status 0";
  EXPECT_FALSE(second.running());
  EXPECT_EQ(second.stop(), -1);
  std::remove(options.db_path.c_str());
}

TEST(TrackerSimLauncher, NoProcessOutlivesTheLauncherEvenInAStall) {
  pid_t pid;
  {
    cmtest::TrackerSim sim;
    ASSERT_TRUE(sim.running());
    pid = sim.pid();
    sim.fault("stall", 1, "", 60);
    EXPECT_EQ(get(sim.base_url() + "/x", 500), 0);
  }
  EXPECT_NE(kill(pid, 0), 0) << "the process is gone and reaped";
}

TEST(TrackerSimLauncher, TlsSimWithClientCertificatesIsStillControllable) {
  cmtest::TempHome home;
  std::string log;
  ASSERT_TRUE(cmtest::make_test_certificates(home.path(), &log)) << log;
  cmtest::TrackerSimOptions options;
  options.seed_json = R"({"records":[{"dbset":"S","userdb":"D","id":"MR1","links":[]}]})";
  options.tls = true;
  options.cert = home.path() + "/server.pem";
  options.key = home.path() + "/server.key";
  options.client_ca = home.path() + "/ca.pem";
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  EXPECT_EQ(sim.base_url().rfind("https://127.0.0.1:", 0), 0u) << sim.base_url();
  EXPECT_EQ(sim.root_url().rfind("http://127.0.0.1:", 0), 0u) << sim.root_url();
  // Without a client certificate the handshake fails; the control side keeps working.
  EXPECT_EQ(get(record_url(sim)), 0);
  EXPECT_GE(sim.stats()["tls_failures"].get<int>(), 1);
  EXPECT_EQ(sim.record("S", "D", "MR1")["stable_uri"].get<std::string>().rfind("https://", 0), 0u);
}

}  // namespace
