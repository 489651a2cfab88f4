// Association engine against the tracker simulator: client CPU of one read-modify-write of a
// record with L links (L = 10, 1,000, 10,000), its ratio to one plain Xerces-C parse of the same
// document, and the TCP connections the simulator sees for one commit of 100 records.
// Run: build-*/bin/oslc_bench [rounds]
#include <xercesc/framework/MemBufInputSource.hpp>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"
#include "CM_Provider/CM_Oslc/cm_rest_request.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_session.h"
#include "bench_common.h"
#include "support/temp_home.h"

namespace {

using namespace XERCES_CPP_NAMESPACE;

const char* const kDbset = "S1";
const char* const kUserdb = "DB1";

std::string selector(int i) {
  return "tw://vob/src/file" + std::to_string(i) + ".c@@/main/" + std::to_string(i);
}

void seed(cmtest::TrackerSim& sim, const std::string& id, int links) {
  nlohmann::json rec = {{"dbset", kDbset}, {"userdb", kUserdb}, {"id", id}};
  rec["links"] = nlohmann::json::array();
  for (int i = 0; i < links; ++i)
    rec["links"].push_back({{"resource", selector(i)}, {"title", "file" + std::to_string(i)}});
  sim.put_record(rec);
}

CM_Session make_session(const std::string& base_url) {
  CM_ProviderConfig config("bench", base_url, kUserdb, kDbset);
  CM_Session session;
  session.init_server_config(&config);
  return session;
}

// The record's answer exactly as the engine receives it.
std::string fetch(const CM_Session& session, const std::string& id) {
  CM_RestUriGet get;
  get.Init();
  get.SetBaseUri(session.get_web_url());
  for (const char* segment : {"repo", kDbset, "db", kUserdb, "record"})
    get.AppendResourceParam(segment, 1);
  get.AppendNameValue("vqm.name", id.c_str());
  std::string body;
  if (get.Run(body) != 0) {
    std::fprintf(stderr, "GET %s failed: %s\n", id.c_str(), get.error_msg().c_str());
    std::exit(1);
  }
  return body;
}

double parse_cpu(const std::string& doc) {
  XercesDOMParser parser;
  parser.setDoNamespaces(true);
  parser.setValidationScheme(XercesDOMParser::Val_Never);
  MemBufInputSource input(reinterpret_cast<const XMLByte*>(doc.data()), doc.size(), "bench");
  const double start = cmbench::cpu_seconds();
  parser.parse(input);
  const double cpu = cmbench::cpu_seconds() - start;
  if (parser.getErrorCount() != 0 || parser.getDocument() == nullptr) {
    std::fprintf(stderr, "baseline parse failed\n");
    std::exit(1);
  }
  return cpu;
}

// One commit: the engine's whole run over `actions`, CPU of this process only.
double commit_cpu(const CM_Session& session, const CM_ActionMap& actions) {
  const double start = cmbench::cpu_seconds();
  CM_OslcBaseMr engine;
  engine.init(session);
  const int status = engine.do_modify_associations(actions);
  const double cpu = cmbench::cpu_seconds() - start;
  if (status != 0) {
    std::fprintf(stderr, "commit failed with %d: %s\n", status, engine.get_error().c_str());
    std::exit(1);
  }
  return cpu;
}

void schedule(CM_ActionMap& actions, const std::string& id, CM_ActionType type,
              const std::string& sel, const std::string& name) {
  auto data = std::make_unique<CM_ChangeData>();
  data->set_universal_selector(sel);
  data->set_display_name(name);
  data->set_record_id(id);
  actions.add(std::make_unique<CM_Action>(type, data.release()));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  cmtest::TempHome home;
  cmtest::TrackerSim sim;
  if (!sim.running()) {
    std::fprintf(stderr, "tracker simulator did not start\n");
    return 1;
  }
  const CM_Session session = make_session(sim.base_url());
  XMLPlatformUtils::Initialize();

  std::printf("read-modify-write of one record (best of %d rounds, client CPU)\n", rounds);
  std::printf("%8s %12s %14s %14s %8s\n", "links", "doc bytes", "rmw ms", "parse ms", "ratio");
  for (int links : {10, 1000, 10000}) {
    const std::string id = "MR-" + std::to_string(links);
    seed(sim, id, links);
    const std::string doc = fetch(session, id);
    double parse = 1e9;
    double rmw = 1e9;
    for (int round = 0; round < rounds; ++round) {
      parse = std::min(parse, parse_cpu(doc));
      // Alternately add and remove one link, so that every round reads and writes the record.
      CM_ActionMap actions;
      schedule(actions, id, round % 2 == 0 ? CM_ActionType::Associate : CM_ActionType::Disassociate,
               "tw://vob/src/new.c@@/main/1", "new.c");
      rmw = std::min(rmw, commit_cpu(session, actions));
    }
    std::printf("%8d %12zu %14.3f %14.3f %8.2f\n", links, doc.size(), rmw * 1e3, parse * 1e3,
                rmw / parse);
  }

  // 100 records in one commit: how many TCP connections reach the simulator.
  CM_ActionMap actions;
  for (int i = 0; i < 100; ++i) {
    const std::string id = cmbench::record_id(i);
    seed(sim, id, 1);
    schedule(actions, id, CM_ActionType::Associate, selector(1000 + i), "added");
  }
  const nlohmann::json before = sim.stats();
  const double cpu = commit_cpu(session, actions);
  const nlohmann::json after = sim.stats();
  std::printf("100-record commit: %d requests over %d TCP connection(s), client CPU %.1f ms\n",
              after["requests"].get<int>() - before["requests"].get<int>(),
              after["connections"].get<int>() - before["connections"].get<int>(), cpu * 1e3);

  XMLPlatformUtils::Terminate();
  return 0;
}
