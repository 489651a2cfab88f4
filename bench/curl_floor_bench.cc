// The floor for COMMIT: plain libcurl replaying exactly the GET and PUT requests (same URLs,
// headers and bodies) that the plug-in sent, on one kept-alive connection, with no XML work at
// all. The requests are captured from the simulator's log of a plug-in COMMIT, which is timed
// too, so the program prints plug-in CPU, floor CPU and their ratio per record.
// Run: build-*/bin/curl_floor_bench [rounds]   (CM_BENCH_PLUGIN=PATH: another build of the plug-in)
#include <curl/curl.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_common.h"
#include "support/temp_home.h"

namespace {

using cmtest::change_request;
using cmtest::init_request;
using nlohmann::json;

struct CurlDeleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct SlistDeleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t discard(char* data, size_t size, size_t n, void* out) {
  static_cast<std::string*>(out)->append(data, size * n);
  return size * n;
}

// Keeps the ETag of the last answer: the tracker gives every write a new one, so a replayed PUT
// must send back what the replayed GET received, as the plug-in does.
size_t keep_etag(char* data, size_t size, size_t n, void* out) {
  const std::string line(data, size * n);
  if (line.size() > 5 && strncasecmp(line.c_str(), "etag:", 5) == 0) {
    const size_t start = line.find_first_not_of(" \t", 5);
    const size_t end = line.find_last_not_of(" \t\r\n");
    if (start != std::string::npos && end >= start)
      *static_cast<std::string*>(out) = line.substr(start, end - start + 1);
  }
  return size * n;
}

struct Request {
  std::string method, url, body;
  std::vector<std::string> headers;
};

std::vector<Request> captured(cmtest::TrackerSim& sim) {
  std::vector<Request> out;
  for (const json& e : sim.log()) {
    Request r;
    r.method = e["method"];
    r.url = sim.root_url() + e["path"].get<std::string>();
    if (!e["query"].get<std::string>().empty()) r.url += "?" + e["query"].get<std::string>();
    r.body = e["body"];
    for (const json& h : e["header_list"]) {
      const std::string name = h[0];
      if (name == "Host" || name == "Content-Length") continue;  // libcurl sets these itself
      r.headers.push_back(name + ": " + h[1].get<std::string>());
    }
    out.push_back(std::move(r));
  }
  return out;
}

// Replays the requests on one handle; returns CPU seconds, or a negative value on failure.
double replay(CURL* curl, const std::vector<Request>& requests) {
  std::string response;
  std::string etag;
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, keep_etag);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &etag);
  const double t0 = cmbench::cpu_seconds();
  for (const Request& r : requests) {
    std::unique_ptr<curl_slist, SlistDeleter> list;
    for (const std::string& h : r.headers) {
      const bool if_match = strncasecmp(h.c_str(), "If-Match:", 9) == 0;
      const std::string line = if_match ? "If-Match: " + etag : h;
      curl_slist* next = curl_slist_append(list.get(), line.c_str());
      if (!next) return -1;
      list.release();
      list.reset(next);
    }
    response.clear();
    curl_easy_setopt(curl, CURLOPT_URL, r.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list.get());
    if (r.method == "PUT") {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, r.body.c_str());
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    } else {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    }
    long code = 0;
    if (curl_easy_perform(curl) != CURLE_OK) return -1;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code != 200) return -1;
  }
  return cmbench::cpu_seconds() - t0;
}

struct Result {
  double plugin = 1e9, floor = 1e9;  // CPU seconds of one COMMIT (link and unlink averaged)
  size_t requests = 0;
};

void schedule(cmtest::PluginHost& host, void* h, bool link, int records, int links) {
  for (int r = 0; r < records; ++r) {
    for (int l = 0; l < links; ++l) {
      const std::string req =
          change_request("tw://vob/src/file" + std::to_string(l) + ".c@@/main/" + std::to_string(r),
                         "file" + std::to_string(l) + ".c", cmbench::record_id(r));
      if ((link ? host.associate(h, req) : host.disassociate(h, req)).rc != 1) {
        std::fprintf(stderr, "scheduling failed\n");
        std::exit(1);
      }
    }
  }
}

double timed_commit(cmtest::PluginHost& host, void* h) {
  const double t0 = cmbench::cpu_seconds();
  const auto c = host.commit(h);
  const double t1 = cmbench::cpu_seconds();
  if (c.rc != 0) {
    std::fprintf(stderr, "COMMIT failed: %s\n", c.text.c_str());
    std::exit(1);
  }
  return t1 - t0;
}

// Each round: the plug-in links every record (requests captured), unlinks them again (captured),
// then libcurl replays both batches, which meet the records in the same states.
Result measure(cmtest::PluginHost& host, cmtest::TrackerSim& sim, CURL* curl, const char* name,
               int records, int links, int rounds) {
  Result res;
  void* h = host.init(init_request(name, sim.base_url()));
  for (int round = 0; round < rounds; ++round) {
    schedule(host, h, true, records, links);
    sim.clear_log();
    const double plug_link = timed_commit(host, h);
    const std::vector<Request> link_requests = captured(sim);
    schedule(host, h, false, records, links);
    sim.clear_log();
    const double plug_unlink = timed_commit(host, h);
    const std::vector<Request> unlink_requests = captured(sim);
    const double floor_link = replay(curl, link_requests);
    const double floor_unlink = replay(curl, unlink_requests);
    if (floor_link < 0 || floor_unlink < 0) {
      std::fprintf(stderr, "replay failed\n");
      std::exit(1);
    }
    res.requests = link_requests.size();
    res.plugin = std::min(res.plugin, (plug_link + plug_unlink) / 2);
    res.floor = std::min(res.floor, (floor_link + floor_unlink) / 2);
  }
  return res;
}

void print(const char* label, const Result& r, int records) {
  std::printf(
      "%-26s %zu requests; plug-in %9.1f us/record, floor %9.1f us/record; plug-in / floor %.2fx\n",
      label, r.requests, r.plugin * 1e6 / records, r.floor * 1e6 / records, r.plugin / r.floor);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
  setvbuf(stdout, nullptr, _IOLBF, 0);
  cmtest::TempHome home;
  cmtest::PluginHost host(cmbench::plugin_path());
  if (!host.ok()) {
    std::fprintf(stderr, "cannot load %s\n", cmbench::plugin_path());
    return 1;
  }
  // The simulator's database on tmpfs: its per-update fsync is no part of what is measured.
  cmtest::TrackerSimOptions opt;
  opt.db_path = cmbench::shm_db_path();
  cmtest::TrackerSim sim(opt);
  if (!sim.running()) return 1;
  cmbench::create_records(sim, 1000);
  std::unique_ptr<CURL, CurlDeleter> curl(curl_easy_init());
  if (!curl) return 1;
  std::string sink;
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discard);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);

  std::printf("client CPU of COMMIT against the floor (best of %d rounds)\n", rounds);
  print("1,000 records x 1 link", measure(host, sim, curl.get(), "floor-many", 1000, 1, rounds),
        1000);
  print("1 record x 10,000 links", measure(host, sim, curl.get(), "floor-big", 1, 10000, rounds),
        1);
  print("1 record x 100,000 links",
        measure(host, sim, curl.get(), "floor-huge", 1, 100000, std::min(rounds, 1)), 1);
  const long conns = sim.stats().value("connections", 0L);
  std::printf("simulator connections over the run: %ld\n", conns);
  sim.stop();
  if (!opt.db_path.empty()) std::remove(opt.db_path.c_str());
  return 0;
}
