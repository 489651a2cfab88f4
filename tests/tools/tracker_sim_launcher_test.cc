// Drives the tracker simulator through cmtest::TrackerSim the way the plug-in tests do: start it,
// talk to the served address over libcurl, inspect it through the control helpers, stop it.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>

#include "support/temp_home.h"
#include "support/tracker_sim.h"

namespace {

struct Reply {
  long status = 0;
  std::string body;
  std::string headers;
};

size_t collect(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// One request on the served (tracker) side of the simulator.
Reply request(const std::string& method, const std::string& url, const std::string& userpwd = "",
              const std::string& body = "", const std::string& cookie = "") {
  Reply reply;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  CURL* h = curl.get();
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (!userpwd.empty()) curl_easy_setopt(h, CURLOPT_USERPWD, userpwd.c_str());
  if (!cookie.empty()) curl_easy_setopt(h, CURLOPT_COOKIE, cookie.c_str());
  if (!body.empty()) {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply.body);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, collect);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, &reply.headers);
  if (curl_easy_perform(h) == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

const char* kSeed = R"({"records":[{"dbset":"Set A","userdb":"DB1","id":"MR00001","links":[
  {"resource":"tw://vob/a.c@@/main/1","title":"a.c version 1"},
  {"resource":"tw://vob/b.c@@/main/4","title":"b.c & <friends>"}]}]})";

std::string record_url(const cmtest::TrackerSim& sim, const std::string& id) {
  return sim.base_url() + "/repo/Set%20A/db/DB1/record?vqm.name=" + id;
}

std::string put_body(const std::string& stable, const std::string& links) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
         "<rdf:RDF xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\""
         " xmlns:oslc_cm=\"http://open-services.net/ns/cm#\""
         " xmlns:dcterms=\"http://purl.org/dc/terms/\">"
         "<oslc_cm:ChangeRequest rdf:about=\"" +
         stable + "\">" + links + "</oslc_cm:ChangeRequest></rdf:RDF>";
}

TEST(TrackerSimLauncher, StartsOnLoopbackAndServesSeededRecords) {
  cmtest::TrackerSimOptions options;
  options.seed_json = kSeed;
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  EXPECT_GT(sim.port(), 0);
  EXPECT_EQ(sim.base_url(), "http://127.0.0.1:" + std::to_string(sim.port()) + "/oslc");

  Reply reply = request("GET", record_url(sim, "MR00001"));
  ASSERT_EQ(reply.status, 200) << reply.body;
  EXPECT_NE(reply.body.find("rdf:resource=\"tw://vob/a.c@@/main/1\" rdf:ID=\"link1\""),
            std::string::npos);
  EXPECT_NE(reply.body.find("<dcterms:title>b.c &amp; &lt;friends&gt;</dcterms:title>"),
            std::string::npos);
  EXPECT_NE(reply.headers.find("Set-Cookie: JSESSIONID="), std::string::npos);

  nlohmann::json rec = sim.record("Set A", "DB1", "MR00001");
  ASSERT_TRUE(rec.is_object());
  ASSERT_EQ(rec["links"].size(), 2u);
  EXPECT_EQ(rec["links"][1]["title"], "b.c & <friends>");
  EXPECT_NE(reply.body.find("rdf:about=\"" + rec["stable_uri"].get<std::string>() + "\""),
            std::string::npos);
  EXPECT_TRUE(sim.record("Set A", "DB1", "MR99999").is_null());
}

TEST(TrackerSimLauncher, PutRecordAndWireUpdateAreVisible) {
  cmtest::TrackerSim sim;
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  sim.put_record(
      {{"dbset", "Set A"}, {"userdb", "DB1"}, {"id", "MR7"}, {"links", nlohmann::json::array()}});
  nlohmann::json rec = sim.record("Set A", "DB1", "MR7");
  ASSERT_TRUE(rec.is_object());
  std::string stable = rec["stable_uri"];

  std::string body =
      put_body(stable,
               "<oslc_cm:tracksChangeSet rdf:resource=\"tw://x\" dcterms:title=\"X\"/>"
               "<oslc_cm:tracksChangeSet rdf:resource=\"tw://y\" dcterms:title=\"Y\"/>");
  Reply put = request("PUT", stable + "?oslc.properties=oslc_cm%3AtracksChangeSet", "", body);
  ASSERT_EQ(put.status, 200) << put.body;
  rec = sim.record("Set A", "DB1", "MR7");
  ASSERT_EQ(rec["links"].size(), 2u);
  EXPECT_EQ(rec["links"][0]["resource"], "tw://x");
  EXPECT_EQ(rec["links"][1]["title"], "Y");

  Reply bad = request("PUT", stable + "?oslc.properties=oslc_cm%3AtracksChangeSet", "",
                      "<rdf:RDF><unclosed></rdf:RDF>");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.body.find("oslc_cm:message"), std::string::npos);
  EXPECT_EQ(sim.record("Set A", "DB1", "MR7")["links"].size(), 2u);

  nlohmann::json log = sim.log();
  ASSERT_TRUE(log.is_array());
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0]["method"], "PUT");
  EXPECT_EQ(log[0]["query"], "oslc.properties=oslc_cm%3AtracksChangeSet");
  EXPECT_EQ(log[0]["body"], body);
  EXPECT_EQ(log[0]["status"], 200);
  EXPECT_EQ(log[1]["status"], 400);
  sim.clear_log();
  EXPECT_TRUE(sim.log().empty());
}

TEST(TrackerSimLauncher, AuthCookiesAndStats) {
  cmtest::TrackerSimOptions options;
  options.seed_json = kSeed;
  options.users = {{"alice", "s3cret"}};
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();

  EXPECT_EQ(request("GET", record_url(sim, "MR00001")).status, 401);
  EXPECT_EQ(request("GET", record_url(sim, "MR00001"), "alice:wrong").status, 401);
  Reply ok = request("GET", record_url(sim, "MR00001"), "alice:s3cret");
  ASSERT_EQ(ok.status, 200);
  size_t at = ok.headers.find("JSESSIONID=");
  ASSERT_NE(at, std::string::npos);
  std::string cookie = ok.headers.substr(at, ok.headers.find(';', at) - at);
  Reply again = request("GET", record_url(sim, "MR00001"), "", "", cookie);
  EXPECT_EQ(again.status, 200);
  EXPECT_EQ(again.headers.find("Set-Cookie"), std::string::npos) << "a valid session is kept";
  EXPECT_EQ(request("GET", record_url(sim, "MR00001"), "", "", "JSESSIONID=forged").status, 401);

  nlohmann::json stats = sim.stats();
  ASSERT_TRUE(stats.is_object());
  EXPECT_EQ(stats["requests"], 5);
  EXPECT_EQ(stats["connections"], 5) << "each request above used its own connection";
  nlohmann::json log = sim.log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[3]["headers"]["Cookie"], cookie);
}

TEST(TrackerSimLauncher, FaultsApplyToMatchingRequestsOnly) {
  cmtest::TrackerSimOptions options;
  options.seed_json = kSeed;
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();

  sim.fault("500", 2, "vqm.name=MR00001");
  EXPECT_EQ(request("GET", record_url(sim, "MR404")).status, 404);
  Reply failed = request("GET", record_url(sim, "MR00001"));
  EXPECT_EQ(failed.status, 500);
  EXPECT_NE(failed.body.find("<oslc_cm:message>"), std::string::npos);
  EXPECT_EQ(request("GET", record_url(sim, "MR00001")).status, 500);
  EXPECT_EQ(request("GET", record_url(sim, "MR00001")).status, 200) << "count used up";

  sim.fault("no-member");
  Reply shaped = request("GET", record_url(sim, "MR00001"));
  EXPECT_EQ(shaped.status, 200);
  EXPECT_EQ(shaped.body.find("rdfs:member"), std::string::npos);

  sim.fault("html", 5);
  sim.clear_faults();
  EXPECT_EQ(request("GET", record_url(sim, "MR00001")).body.find("<html"), std::string::npos);

  nlohmann::json log = sim.log();
  ASSERT_EQ(log.size(), 6u);
  EXPECT_EQ(log[1]["fault"], "500");
  EXPECT_FALSE(log[3].contains("fault"));
}

TEST(TrackerSimLauncher, RecordsSurviveARestartOnTheSameFile) {
  std::string db = ::testing::TempDir() + "tracker_sim_launcher_test.sqlite";
  std::remove(db.c_str());
  cmtest::TrackerSimOptions options;
  options.db_path = db;
  {
    cmtest::TrackerSim first(options);
    ASSERT_TRUE(first.running()) << first.stderr_text();
    first.put_record({{"dbset", "S"},
                      {"userdb", "D"},
                      {"id", "MR1"},
                      {"links", {{{"resource", "tw://kept"}, {"title", "kept"}}}}});
  }
  cmtest::TrackerSim second(options);
  ASSERT_TRUE(second.running()) << second.stderr_text();
  nlohmann::json rec = second.record("S", "D", "MR1");
  ASSERT_TRUE(rec.is_object());
  EXPECT_EQ(rec["links"][0]["resource"], "tw://kept");
  EXPECT_EQ(second.stop(), 0);
  std::remove(db.c_str());
}

TEST(TrackerSimLauncher, StopsCleanlyAndLeavesNoProcess) {
  pid_t pid;
  {
    cmtest::TrackerSim sim;
    ASSERT_TRUE(sim.running()) << sim.stderr_text();
    pid = sim.pid();
    EXPECT_EQ(sim.stop(), 0) << "SIGTERM ends the simulator with status 0";
    EXPECT_FALSE(sim.running());
    EXPECT_EQ(sim.stop(), -1);
  }
  EXPECT_NE(kill(pid, 0), 0) << "the process is gone and reaped";

  {
    cmtest::TrackerSim sim;
    ASSERT_TRUE(sim.running());
    pid = sim.pid();
    sim.fault("stall", 1, "", 60);
    // A request hanging in a stall must not keep the destructor from ending the process.
    Reply stalled;
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    curl_easy_setopt(curl.get(), CURLOPT_URL, (sim.base_url() + "/x").c_str());
    curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT_MS, 500L);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &stalled.body);
    EXPECT_EQ(curl_easy_perform(curl.get()), CURLE_OPERATION_TIMEDOUT);
  }
  EXPECT_NE(kill(pid, 0), 0);
}

TEST(TrackerSimLauncher, TlsSimWithClientCertificatesIsStillControllable) {
  cmtest::TempHome home;
  const std::string d = home.path() + "/";
  std::string make =
      "cd '" + d +
      "' && openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=ca"
      " -keyout ca.key -out ca.pem && openssl req -newkey rsa:2048 -nodes -subj /CN=server"
      " -keyout server.key -out server.csr && openssl x509 -req -in server.csr -CA ca.pem"
      " -CAkey ca.key -CAcreateserial -days 2 -out server.pem";
  ASSERT_EQ(cmtest::run_command(make + " >/dev/null 2>&1"), 0);
  cmtest::TrackerSimOptions options;
  options.seed_json = kSeed;
  options.tls = true;
  options.cert = d + "server.pem";
  options.key = d + "server.key";
  options.client_ca = d + "ca.pem";
  cmtest::TrackerSim sim(options);
  ASSERT_TRUE(sim.running()) << sim.stderr_text();
  EXPECT_EQ(sim.base_url().rfind("https://127.0.0.1:", 0), 0u) << sim.base_url();
  EXPECT_EQ(sim.root_url().rfind("http://127.0.0.1:", 0), 0u) << sim.root_url();

  // Without a client certificate the handshake fails; the control side keeps working.
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  curl_easy_setopt(curl.get(), CURLOPT_URL, record_url(sim, "MR00001").c_str());
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl.get(), CURLOPT_TIMEOUT, 30L);
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl.get(), CURLOPT_SSL_VERIFYHOST, 0L);
  std::string body;
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
  EXPECT_NE(curl_easy_perform(curl.get()), CURLE_OK);
  nlohmann::json stats = sim.stats();
  ASSERT_TRUE(stats.is_object());
  EXPECT_GE(stats["tls_failures"].get<int>(), 1);
  EXPECT_EQ(stats["requests"], 0);
  EXPECT_TRUE(sim.record("Set A", "DB1", "MR00001")["stable_uri"].get<std::string>().rfind(
                  "https://", 0) == 0);
}

}  // namespace
