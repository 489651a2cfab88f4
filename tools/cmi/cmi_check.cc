// cmi check: placeholder replaced below.
#include "cmi.h"
void cmi_add_check(CLI::App&, CmiCommands&) {}
