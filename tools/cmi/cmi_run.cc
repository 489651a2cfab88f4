// Not written yet: replaced by the plug-in driving commands.
#include <cstdio>
#include "cmi.h"
int cmi_run(int, char**) { std::fprintf(stderr, "cmi run: not available\n"); return 1; }
int cmi_link(int, char**) { std::fprintf(stderr, "cmi link: not available\n"); return 1; }
int cmi_unlink(int, char**) { std::fprintf(stderr, "cmi unlink: not available\n"); return 1; }
int cmi_version(int, char**) { std::fprintf(stderr, "cmi version: not available\n"); return 1; }
