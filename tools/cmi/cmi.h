// The cmi command set. Each command file adds its subcommands (options, help text) to the root
// command line and hands back what runs them; cmi_main.cc parses once and runs the one chosen.
// Every command returns the process exit status: 0 success, 1 failure, 2 misuse.
#ifndef TOOLS_CMI_CMI_H
#define TOOLS_CMI_CMI_H

#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

struct CmiCommand {
  CLI::App* app;
  std::function<int()> run;
};
using CmiCommands = std::vector<CmiCommand>;

void cmi_add_creds(CLI::App& root, CmiCommands& commands);   // creds add|list|remove
void cmi_add_option(CLI::App& root, CmiCommands& commands);  // option get|set
void cmi_add_run(CLI::App& root, CmiCommands& commands);     // run, version
void cmi_add_link(CLI::App& root, CmiCommands& commands);    // link, unlink
void cmi_add_check(CLI::App& root, CmiCommands& commands);   // check

// Adds subcommand NAME to parent and registers run as what runs it; run receives that
// subcommand, for its misuse messages.
CLI::App* cmi_add_command(CLI::App& parent, CmiCommands& commands, const std::string& name,
                          const std::string& description, std::function<int(const CLI::App&)> run);
// Adds a command that only groups subcommands (creds, option): one of them must follow.
CLI::App* cmi_add_group(CLI::App& root, const std::string& name, const std::string& description);

// Adds --plugin PATH to a command that loads the plug-in.
void cmi_add_plugin_option(CLI::App& command, std::string& path);
// "cmi creds add" for the subcommand's App.
std::string cmi_command_path(const CLI::App& command);
// The one wording of misuse: "cmi COMMAND: TEXT" and where the usage is. Returns 2.
int cmi_misuse(const CLI::App& command, const std::string& text);

#endif
