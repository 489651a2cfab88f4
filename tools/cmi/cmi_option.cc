// cmi option: reads and writes one named setting through the library's exported option class:
// the per-user settings, or the machine-wide ones with --machine. An environment override
// (TAPIR_<NAME>) wins over both when reading.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <cm_option.h>
#include "cmi.h"

namespace {

const int kOk = 0;
const int kFailed = 1;

// Option names double as environment variable names (TAPIR_<NAME>) and as value names in the
// settings store, so they stay within what both accept.
bool valid_name(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) return false;
  }
  return true;
}

// 0, or the misuse status with its message.
int check_name(const CLI::App& command, const std::string& name) {
  if (valid_name(name)) return kOk;
  return cmi_misuse(command, "option name '" + name + "' must hold only letters, digits and '_'");
}

bool has_line_breaks(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos || text.find('\0') != std::string::npos;
}

struct OptionArgs {
  std::string name, value, def;
  bool machine = false;
};

int option_get(const CLI::App& command, const OptionArgs& args) {
  if (int rc = check_name(command, args.name)) return rc;
  CM_Option option(args.machine ? CM_Option::LocalMachine : CM_Option::CurrentUser,
                   args.name.c_str());
  SUM_String value;
  option.GetValue(args.def.c_str(), value);
  std::printf("%s\n", value.c_str());
  return kOk;
}

int option_set(const CLI::App& command, const OptionArgs& args) {
  const std::string& name = args.name;
  const std::string& value = args.value;
  if (int rc = check_name(command, name)) return rc;
  if (has_line_breaks(value)) return cmi_misuse(command, "the value must be a single line");
  CM_Option option(args.machine ? CM_Option::LocalMachine : CM_Option::CurrentUser, name.c_str());
  option.SetValue(value.c_str());

  // The store reports nothing; read the value back to tell the user when it did not stick.
  std::string env_name = "TAPIR_";
  for (unsigned char c : name) env_name += static_cast<char>(std::toupper(c));
  if (std::getenv(env_name.c_str())) {
    std::fprintf(stderr,
                 "cmi option set: note: %s is set in the environment and hides the stored value\n",
                 env_name.c_str());
    return kOk;
  }
  SUM_String check;
  std::string sentinel = value + "\n(unset)";
  option.GetValue(sentinel.c_str(), check);
  if (check.str() != value) {
    std::fprintf(stderr, "cmi option set: could not store %s in the %s settings%s\n", name.c_str(),
                 args.machine ? "machine-wide" : "user's",
                 args.machine && geteuid() != 0 ? " (they are written by root only)" : "");
    return kFailed;
  }
  return kOk;
}

}  // namespace

void cmi_add_option(CLI::App& root, CmiCommands& commands) {
  CLI::App* option = cmi_add_group(root, "option", "Reads and writes one named setting.");
  auto args = std::make_shared<OptionArgs>();
  CLI::App* get = cmi_add_command(
      *option, commands, "get",
      "Prints an option's value: the environment variable TAPIR_<NAME> when it is set, else the "
      "user's settings, else (for CMI_ options) the machine-wide settings, else the default. "
      "With --machine only the machine-wide settings are read.",
      [args](const CLI::App& self) { return option_get(self, *args); });
  get->add_option("NAME", args->name, "letters, digits and '_'")->required();
  get->add_flag("--machine", args->machine, "read the machine-wide settings");
  get->add_option("--default", args->def, "printed when the option is not set");

  CLI::App* set = cmi_add_command(
      *option, commands, "set",
      "Stores a value in the user's settings, or with --machine in the machine-wide settings "
      "(readable by every user, written by root only).",
      [args](const CLI::App& self) { return option_set(self, *args); });
  set->add_option("NAME", args->name, "letters, digits and '_'")->required();
  set->add_option("VALUE", args->value, "one line of text")->required();
  set->add_flag("--machine", args->machine, "write the machine-wide settings");
}
