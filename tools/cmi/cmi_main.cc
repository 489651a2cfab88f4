// cmi: the host stand-in and the user's tool for logins and options. The command line is parsed
// by CLI11, so every command takes "--opt value" and "--opt=value", has -h/--help, and reports
// misuse in one wording.
#include <CLI/CLI.hpp>
#include <cctype>
#include <cstdio>
#include <string>
#include <utility>

#include "cmi.h"

#ifndef CMI_VERSION
#define CMI_VERSION "unknown"
#endif

namespace {

// Help starts with the usage line, as people expect from a command-line tool.
class UsageFirst : public CLI::Formatter {
 public:
  UsageFirst() { label("Usage", "usage"); }
  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    if (mode == CLI::AppFormatMode::Sub) return make_expanded(app);
    std::string out = make_usage(app, name);
    const std::string description = make_description(app);
    if (!description.empty()) out += "\n" + description;
    out += make_positionals(app);
    out += make_groups(app, mode);
    out += make_subcommands(app, mode);
    const std::string footer = make_footer(app);
    if (!footer.empty()) out += "\n" + footer;
    return out;
  }
};

// The innermost subcommand the command line reached, or the root.
const CLI::App* reached(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands()) return reached(*sub);
  return &app;
}

// CLI11's wording, made to match the rest of cmi.
std::string describe(const CLI::ParseError& e) {
  const std::string what = e.what();
  const std::string kind = e.get_name();
  const size_t colon = what.find(':');
  const std::string name = colon == std::string::npos ? what : what.substr(0, colon);
  if (kind == "ArgumentMismatch") {
    if (what.find("At Most") != std::string::npos || what.find("at most") != std::string::npos)
      return "option " + name + " is given more than once";
    return "option " + name + " needs a value";
  }
  if (kind == "RequiredError") {
    if (what.find("subcommand") != std::string::npos) return "a command is required";
    if (what.rfind("--", 0) == 0) return "option " + what;
  }
  return what;
}

// Unknown options and stray arguments are named as such.
std::string describe_extra(const std::string& arg) {
  const bool number = arg.size() > 1 && arg[0] == '-' && (std::isdigit(arg[1]) || arg[1] == '.');
  if (arg.size() > 1 && arg[0] == '-' && !number) {
    const std::string name = arg.substr(0, arg.find('='));
    return "unknown option '" + name + "'";
  }
  return "unexpected argument '" + arg + "'";
}

}  // namespace

std::string cmi_command_path(const CLI::App& command) {
  std::string path = command.get_name();
  for (const CLI::App* p = command.get_parent(); p; p = p->get_parent())
    path.insert(0, p->get_name() + " ");
  return path;
}

int cmi_misuse(const CLI::App& command, const std::string& text) {
  const std::string path = cmi_command_path(command);
  std::fprintf(stderr, "%s: %s\nRun '%s --help' for the usage.\n", path.c_str(), text.c_str(),
               path.c_str());
  return 2;
}

CLI::App* cmi_add_command(CLI::App& parent, CmiCommands& commands, const std::string& name,
                          const std::string& description, std::function<int(const CLI::App&)> run) {
  CLI::App* command = parent.add_subcommand(name, description);
  commands.push_back({command, [command, run = std::move(run)] { return run(*command); }});
  return command;
}

CLI::App* cmi_add_group(CLI::App& root, const std::string& name, const std::string& description) {
  CLI::App* group = root.add_subcommand(name, description);
  group->require_subcommand(1);
  return group;
}

int main(int argc, char** argv) {
  CLI::App root(
      "Links versions to change-request records through the plug-in, checks tracker "
      "connections, and manages stored logins and options.",
      "cmi");
  root.formatter(std::make_shared<UsageFirst>());
  root.set_version_flag("--version", std::string("cmi ") + CMI_VERSION);
  root.allow_extras();
  root.require_subcommand(1);
  root.footer(
      "'cmi COMMAND --help' describes a command.\n"
      "Exit status: 0 success, 1 failure, 2 misuse.");
  CmiCommands commands;
  cmi_add_link(root, commands);
  cmi_add_check(root, commands);
  cmi_add_run(root, commands);
  cmi_add_creds(root, commands);
  cmi_add_option(root, commands);

  try {
    root.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return root.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return root.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return root.exit(e);
  } catch (const CLI::ParseError& e) {
    const CLI::App* where = reached(root);
    if (where == &root && argc > 1 && argv[1][0] != '-')
      return cmi_misuse(root, "unknown command '" + std::string(argv[1]) + "'");
    return cmi_misuse(*where, describe(e));
  }
  const CLI::App* where = reached(root);
  for (const std::string& extra : root.remaining(true))
    return cmi_misuse(*where, describe_extra(extra));
  for (const CmiCommand& c : commands) {
    if (c.app == where) return c.run();
  }
  return cmi_misuse(*where, "a command is required");
}
