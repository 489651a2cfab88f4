// cmi run: drives the plug-in's operations from a script, one per line, the way the host would;
// cmi version: the plug-in's version line.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "cmi.h"
#include "cmi_host.h"

namespace {

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

int run_script(const std::string& plugin_path, const std::string& script) {
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

int print_version(const std::string& plugin_path) {
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

struct RunArgs {
  std::string plugin;
  std::string script = "-";
};

}  // namespace

void cmi_add_plugin_option(CLI::App& command, std::string& path) {
  command.add_option("--plugin", path,
                     "the plug-in library to load (default: $CMI_PLUGIN, else libcmmrv1_0.so "
                     "next to cmi)");
}

void cmi_add_run(CLI::App& root, CmiCommands& commands) {
  auto args = std::make_shared<RunArgs>();
  CLI::App* run = cmi_add_command(
      root, commands, "run",
      "Runs plug-in operations, one per line, from SCRIPT or standard input:\n"
      "  INITIALIZE {json}   ASSOCIATE {json}   DISASSOCIATE {json}   COMMIT   VALIDATE\n"
      "Blank lines and lines starting with # are skipped. Each operation prints\n"
      "  OPERATION RETURN-VALUE REPLY\n"
      "The handle of the latest INITIALIZE is passed to the operations after it.\n"
      "Exit status: 0 when every operation succeeded, 1 when any failed, 2 on misuse.",
      [args](const CLI::App&) { return run_script(args->plugin, args->script); });
  run->add_option("SCRIPT", args->script, "the script file, or - for standard input");
  cmi_add_plugin_option(*run, args->plugin);

  CLI::App* version =
      cmi_add_command(root, commands, "version", "Prints the plug-in's version line.",
                      [args](const CLI::App&) { return print_version(args->plugin); });
  cmi_add_plugin_option(*version, args->plugin);
}
