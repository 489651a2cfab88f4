// cmi option: reads and writes one named setting through the library's exported option class:
// the per-user settings, or the machine-wide ones with --machine. An environment override
// (TAPIR_<NAME>) wins over both when reading.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cm_option.h"
#include "cmi.h"

namespace {

const int kOk = 0;
const int kFailed = 1;
const int kMisuse = 2;

const char kUsage[] =
    "usage: cmi option get NAME [--machine] [--default VALUE]\n"
    "       cmi option set NAME VALUE [--machine]\n"
    "\n"
    "'get' prints the option's value: the environment variable TAPIR_<NAME> when it is set,\n"
    "else the value stored in the user's settings (the machine-wide settings with --machine),\n"
    "else the --default value (empty without one). 'set' stores VALUE in the user's settings\n"
    "(machine-wide with --machine). NAME holds letters, digits and '_'.\n";

bool is_help(const char* arg) { return !std::strcmp(arg, "--help") || !std::strcmp(arg, "-h"); }

int misuse(const std::string& what) {
  std::fprintf(stderr, "cmi option: %s\n'cmi option --help' shows the usage.\n", what.c_str());
  return kMisuse;
}

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

bool has_line_breaks(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos || text.find('\0') != std::string::npos;
}

}  // namespace

int cmi_option(int argc, char** argv) {
  if (argc < 2) {
    std::fputs(kUsage, stderr);
    return kMisuse;
  }
  if (is_help(argv[1])) {
    std::fputs(kUsage, stdout);
    return kOk;
  }
  std::string action = argv[1];
  if (action != "get" && action != "set") return misuse("unknown subcommand '" + action + "'");

  bool machine = false;
  bool have_default = false;
  std::string def;
  std::vector<std::string> positional;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (is_help(argv[i])) {
      std::fputs(kUsage, stdout);
      return kOk;
    }
    if (arg == "--machine") {
      machine = true;
    } else if (action == "get" && (arg == "--default" || arg.compare(0, 10, "--default=") == 0)) {
      if (have_default) return misuse("option --default given twice");
      if (arg == "--default") {
        if (i + 1 >= argc) return misuse("option --default needs a value");
        def = argv[++i];
      } else {
        def = arg.substr(10);
      }
      have_default = true;
    } else if (arg == "--") {
      for (++i; i < argc; ++i) positional.push_back(argv[i]);
    } else if (arg.compare(0, 2, "--") == 0) {
      return misuse("unknown option '" + arg + "'");
    } else {
      positional.push_back(arg);
    }
  }
  size_t wanted = action == "get" ? 1 : 2;
  if (positional.size() != wanted) {
    return misuse(action == "get" ? "'get' takes one option NAME"
                                  : "'set' takes an option NAME and a VALUE");
  }
  const std::string& name = positional[0];
  if (!valid_name(name))
    return misuse("option name '" + name + "' must hold only letters, digits and '_'");

  CM_Option option(machine ? CM_Option::LocalMachine : CM_Option::CurrentUser, name.c_str());
  if (action == "get") {
    SUM_String value;
    option.GetValue(def.c_str(), value);
    std::printf("%s\n", value.c_str());
    return kOk;
  }
  const std::string& value = positional[1];
  if (has_line_breaks(value)) return misuse("the value must be a single line");
  option.SetValue(value.c_str());

  // The store reports nothing; read the value back to tell the user when it did not stick.
  std::string env_name = "TAPIR_";
  for (unsigned char c : name) env_name += static_cast<char>(std::toupper(c));
  if (std::getenv(env_name.c_str())) {
    std::fprintf(stderr,
                 "cmi option: note: %s is set in the environment and hides the stored value\n",
                 env_name.c_str());
    return kOk;
  }
  SUM_String check;
  std::string sentinel = value + "\n(unset)";
  option.GetValue(sentinel.c_str(), check);
  if (check.str() != value) {
    std::fprintf(stderr, "cmi option: could not store %s in the %s settings\n", name.c_str(),
                 machine ? "machine-wide" : "user's");
    return kFailed;
  }
  return kOk;
}
