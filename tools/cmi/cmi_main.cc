// cmi: the host stand-in and the user's tool for logins and options.
#include <cstdio>
#include <cstring>

#include "cmi.h"

namespace {

struct Command {
  const char* name;
  int (*run)(int, char**);
  const char* summary;
};

const Command kCommands[] = {
    {"creds", cmi_creds, "add, list or remove stored tracker logins"},
    {"option", cmi_option, "get or set an option"},
    {"run", cmi_run, "run a script of plug-in operations"},
    {"link", cmi_link, "link versions to a change request"},
    {"unlink", cmi_unlink, "unlink versions from a change request"},
    {"version", cmi_version, "print the plug-in's version line"},
};

int usage(FILE* out) {
  std::fprintf(out, "usage: cmi COMMAND [ARGS]\n\ncommands:\n");
  for (const Command& c : kCommands) std::fprintf(out, "  %-8s %s\n", c.name, c.summary);
  std::fprintf(out, "\n'cmi COMMAND --help' describes a command.\n");
  return out == stdout ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage(stderr);
  if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
      !std::strcmp(argv[1], "help"))
    return usage(stdout);
  for (const Command& c : kCommands) {
    if (!std::strcmp(argv[1], c.name)) return c.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "cmi: unknown command '%s'\n", argv[1]);
  return usage(stderr);
}
