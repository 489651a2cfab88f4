// cmi link / cmi unlink: ties versions to one change-request record (or unties them) through the
// plug-in: INITIALIZE from a connection file, one ASSOCIATE or DISASSOCIATE per version, COMMIT,
// and a plain-language verdict.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cmi.h"
#include "cmi_host.h"

namespace {

using json = nlohmann::json;

// Batches at least this long report their progress on standard error.
constexpr size_t kProgressThreshold = 100;

struct LinkArgs {
  std::string connection;
  std::string record;
  std::vector<std::pair<std::string, std::string>> versions;  // selector, display name
  std::string trace_level;
  std::string trace_subsystem;
  bool has_trace_level = false;
  bool has_trace_subsystem = false;
};

void usage(const char* cmd, FILE* out) {
  std::fprintf(out,
               "usage: cmi %s --connection FILE --record ID --version SELECTOR [--name NAME]\n"
               "           [--version SELECTOR [--name NAME] ...] [--trace-level N]\n"
               "           [--trace-subsystem TAGS] [--plugin PATH]\n"
               "\n"
               "%s the versions %s the change-request record ID in one commit.\n"
               "FILE is the connection: a JSON object with \"providername\", \"baseurl\",\n"
               "\"dbset\" and \"userdb\" (optionally \"tracelevel\" and \"tracesubsystem\").\n"
               "--name gives the display name of the version before it (default: the\n"
               "selector). Exit status: 0 done, 1 failed, 2 misuse.\n",
               cmd, std::strcmp(cmd, "link") ? "Unlinks" : "Links",
               std::strcmp(cmd, "link") ? "from" : "to");
}

// 0 parsed, 1 help shown, 2 misuse (reported).
int parse_args(const char* cmd, int argc, char** argv, LinkArgs* args) {
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") {
      usage(cmd, stdout);
      return 1;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "cmi %s: %s needs a value\n", cmd, opt.c_str());
      return 2;
    }
    const std::string value = argv[++i];
    if (opt == "--connection") {
      args->connection = value;
    } else if (opt == "--record") {
      args->record = value;
    } else if (opt == "--version") {
      args->versions.emplace_back(value, value);
    } else if (opt == "--name") {
      if (args->versions.empty()) {
        std::fprintf(stderr, "cmi %s: --name must follow a --version\n", cmd);
        return 2;
      }
      args->versions.back().second = value;
    } else if (opt == "--trace-level") {
      args->trace_level = value;
      args->has_trace_level = true;
    } else if (opt == "--trace-subsystem") {
      args->trace_subsystem = value;
      args->has_trace_subsystem = true;
    } else {
      std::fprintf(stderr, "cmi %s: unknown option %s\n", cmd, opt.c_str());
      return 2;
    }
  }
  const char* missing = args->connection.empty() ? "--connection"
                        : args->record.empty()   ? "--record"
                        : args->versions.empty() ? "--version"
                                                 : nullptr;
  if (missing) {
    std::fprintf(stderr, "cmi %s: %s is required\n", cmd, missing);
    usage(cmd, stderr);
    return 2;
  }
  return 0;
}

// The INITIALIZE request from the connection file and the trace options; empty on error.
std::string connection_request(const char* cmd, const LinkArgs& args) {
  std::ifstream in(args.connection);
  if (!in) {
    std::fprintf(stderr, "cmi %s: cannot open the connection file %s: %s\n", cmd,
                 args.connection.c_str(), std::strerror(errno));
    return "";
  }
  std::stringstream text;
  text << in.rdbuf();
  json conn = json::parse(text.str(), nullptr, false);
  if (conn.is_discarded() || !conn.is_object()) {
    std::fprintf(stderr, "cmi %s: %s is not a JSON object\n", cmd, args.connection.c_str());
    return "";
  }
  for (const char* key : {"providername", "baseurl", "dbset", "userdb"}) {
    if (!conn.contains(key)) {
      std::fprintf(stderr, "cmi %s: %s lacks \"%s\"\n", cmd, args.connection.c_str(), key);
      return "";
    }
  }
  if (args.has_trace_level) conn["tracelevel"] = args.trace_level;
  if (args.has_trace_subsystem) conn["tracesubsystem"] = args.trace_subsystem;
  return conn.dump(-1, ' ', false, json::error_handler_t::replace);
}

// decode_twice: COMMIT escapes the tracker's part of its error text once more than JSON needs
// (quotes arrive as \" and line feeds as \n); that layer is undone when it parses.
std::string reply_field(const std::string& reply, const char* key, bool decode_twice = false) {
  json j = json::parse(reply, nullptr, false);
  if (j.is_discarded() || !j.is_object() || !j.contains(key) || !j[key].is_string())
    return j.is_discarded() ? reply : "";
  std::string text = j[key].get<std::string>();
  if (decode_twice) {
    json inner = json::parse("\"" + text + "\"", nullptr, false);
    if (inner.is_string()) text = inner.get<std::string>();
  }
  // Texts end with a line feed, which COMMIT's error text carries escaped.
  for (;;) {
    if (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
      text.pop_back();
    } else if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\\n") == 0) {
      text.resize(text.size() - 2);
    } else {
      break;
    }
  }
  return text;
}

int link_or_unlink(bool link, int argc, char** argv) {
  const char* cmd = link ? "link" : "unlink";
  const std::string plugin_path = cmi_take_plugin_option(&argc, argv);
  LinkArgs args;
  const int parsed = parse_args(cmd, argc, argv, &args);
  if (parsed) return parsed == 1 ? 0 : 2;
  const std::string init = connection_request(cmd, args);
  if (init.empty()) return 2;

  CmiPlugin plugin;
  if (!plugin.load(plugin_path)) {
    std::fprintf(stderr, "cmi %s: %s\n", cmd, plugin.error().c_str());
    return 1;
  }
  void* handle = nullptr;
  std::int32_t rc = 0;
  std::string reply;
  if (!plugin.call("INITIALIZE", &handle, init, &rc, &reply) || rc != 0) {
    std::fprintf(stderr, "cmi %s: the connection could not be set up: %s\n", cmd,
                 reply_field(reply, "error_message").c_str());
    return 1;
  }
  const std::string session_error = reply_field(reply, "error_message");
  if (!session_error.empty())
    std::fprintf(stderr, "cmi %s: warning: %s\n", cmd, session_error.c_str());

  const size_t total = args.versions.size();
  const bool progress = total >= kProgressThreshold;
  const size_t step = total / 10 ? total / 10 : 1;
  const char* op = link ? "ASSOCIATE" : "DISASSOCIATE";
  for (size_t i = 0; i < total; ++i) {
    json request = {{"twversion",
                     {{"universal_selector", args.versions[i].first},
                      {"display_name", args.versions[i].second}}},
                    {"cmtask", {{"taskid", args.record}}}};
    const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
    if (!plugin.call(op, &handle, text, &rc, &reply) || rc != 1) {
      std::fprintf(stderr, "cmi %s: version %s was not accepted: %s\nNothing was changed.\n", cmd,
                   args.versions[i].first.c_str(), reply_field(reply, "error_message").c_str());
      return 1;
    }
    if (progress && ((i + 1) % step == 0 || i + 1 == total))
      std::fprintf(stderr, "cmi %s: scheduled %zu of %zu versions\n", cmd, i + 1, total);
  }
  if (progress)
    std::fprintf(stderr, "cmi %s: committing %zu changes to record %s...\n", cmd, total,
                 args.record.c_str());
  plugin.call("COMMIT", &handle, "", &rc, &reply);
  const char* plural = total == 1 ? "" : "s";
  if (rc != 0) {
    std::fprintf(stderr, "cmi %s: failed: the links of record %s were not changed.\n  %s\n", cmd,
                 args.record.c_str(), reply_field(reply, "error_message", true).c_str());
    return 1;
  }
  const std::string info = reply_field(reply, "info_message");
  if (!info.empty()) std::printf("%s\n", info.c_str());
  if (link)
    std::printf("Linked %zu version%s to record %s.\n", total, plural, args.record.c_str());
  else
    std::printf("Unlinked %zu version%s from record %s.\n", total, plural, args.record.c_str());
  return 0;
}

}  // namespace

int cmi_link(int argc, char** argv) { return link_or_unlink(true, argc, argv); }

int cmi_unlink(int argc, char** argv) { return link_or_unlink(false, argc, argv); }
