// cmi run: drives the plug-in's operations from a script, one per line, the way the host would;
// cmi version: the plug-in's version line.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "cmi.h"
#include "cmi_host.h"

namespace {

const char kRunUsage[] =
    "usage: cmi run [--plugin PATH] [SCRIPT|-]\n"
    "\n"
    "Runs plug-in operations, one per line, from SCRIPT or standard input:\n"
    "  INITIALIZE {json}   ASSOCIATE {json}   DISASSOCIATE {json}   COMMIT   VALIDATE\n"
    "Blank lines and lines starting with # are skipped. Each operation prints\n"
    "  OPERATION RETURN-VALUE REPLY\n"
    "The handle of the latest INITIALIZE is passed to the operations after it.\n"
    "Exit status: 0 when every operation succeeded, 1 when any failed, 2 on misuse.\n";

// What counts as success for each operation's return value.
bool succeeded(const std::string& op, int rc) {
  if (op == "ASSOCIATE" || op == "DISASSOCIATE") return rc == 1;
  return rc == 0;
}

int run_stream(CmiPlugin& plugin, std::istream& in, const char* source) {
  void* handle = nullptr;
  int failures = 0;
  std::string line;
  for (long number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line[start] == '#') continue;
    const size_t end = line.find_first_of(" \t", start);
    const std::string op = line.substr(start, end == std::string::npos ? end : end - start);
    std::string request;
    if (end != std::string::npos) {
      const size_t body = line.find_first_not_of(" \t", end);
      if (body != std::string::npos) request = line.substr(body);
    }
    std::int32_t rc = 0;
    std::string reply;
    if (!plugin.call(op, &handle, request, &rc, &reply)) {
      std::fprintf(stderr, "cmi run: %s:%ld: unknown operation '%s'\n", source, number, op.c_str());
      ++failures;
      continue;
    }
    std::printf("%s %d %s\n", op.c_str(), rc, reply.c_str());
    std::fflush(stdout);
    if (!succeeded(op, rc)) ++failures;
  }
  if (in.bad()) {
    std::fprintf(stderr, "cmi run: error reading %s\n", source);
    return 1;
  }
  return failures ? 1 : 0;
}

}  // namespace

int cmi_run(int argc, char** argv) {
  const std::string plugin_path = cmi_take_plugin_option(&argc, argv);
  std::string script = "-";
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
      std::fputs(kRunUsage, stdout);
      return 0;
    }
  }
  if (argc > 2) {
    std::fputs(kRunUsage, stderr);
    return 2;
  }
  if (argc == 2) script = argv[1];

  CmiPlugin plugin;
  if (!plugin.load(plugin_path)) {
    std::fprintf(stderr, "cmi run: %s\n", plugin.error().c_str());
    return 2;
  }
  if (script == "-") return run_stream(plugin, std::cin, "<stdin>");
  std::ifstream in(script);
  if (!in) {
    std::fprintf(stderr, "cmi run: cannot open %s: %s\n", script.c_str(), std::strerror(errno));
    return 2;
  }
  return run_stream(plugin, in, script.c_str());
}

int cmi_version(int argc, char** argv) {
  const std::string plugin_path = cmi_take_plugin_option(&argc, argv);
  if (argc > 1) {
    const bool help = !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h");
    std::fputs("usage: cmi version [--plugin PATH]\n", help ? stdout : stderr);
    return help ? 0 : 2;
  }
  CmiPlugin plugin;
  if (!plugin.load(plugin_path)) {
    std::fprintf(stderr, "cmi version: %s\n", plugin.error().c_str());
    return 1;
  }
  auto print_verid = reinterpret_cast<void (*)()>(plugin.symbol("libcmmrv1_0_print_verid"));
  if (!print_verid) {
    std::fprintf(stderr, "cmi version: %s has no version line\n", plugin.path().c_str());
    return 1;
  }
  std::fflush(stdout);
  print_verid();
  std::fflush(stdout);
  return 0;
}
