// Not written yet: replaced by the credential commands.
#include <cstdio>
#include "cmi.h"
int cmi_creds(int, char**) { std::fprintf(stderr, "cmi creds: not available\n"); return 1; }
int cmi_option(int, char**) { std::fprintf(stderr, "cmi option: not available\n"); return 1; }
