// The tracker connection of cmi link, unlink and check: the connection file (the INITIALIZE
// request the host would send) checked with errors that point at the line, column and key, and
// the trace options of the command line. Plain values; used by the cmi commands only.
#ifndef TOOLS_CMI_CMI_CONNECTION_H
#define TOOLS_CMI_CMI_CONNECTION_H

#include <nlohmann/json.hpp>
#include <string>

namespace CLI {
class App;
}

struct CmiConnectionArgs {
  std::string file;
  std::string trace_level, trace_subsystem;  // empty: the file's values
  std::string plugin;
  bool json = false;
};

struct CmiConnection {
  std::string file;
  std::string provider, baseurl, dbset, userdb;
  int trace_level = 0;
  nlohmann::json request;  // the INITIALIZE request, trace options applied
};

// Adds --connection, --trace-level, --trace-subsystem, --plugin and --json to a command.
void cmi_add_connection_options(CLI::App& command, CmiConnectionArgs& args);

// Reads and checks the connection file. False with *error set ("FILE:LINE:COL: ...") when it
// cannot be used.
bool cmi_load_connection(const CmiConnectionArgs& args, CmiConnection* out, std::string* error);

// The trace file this process writes, or "" when there is none (yet).
std::string cmi_trace_file();

// A reply's or tracker's text as people read it: JSON escapes undone, trailing line ends gone.
std::string cmi_plain_text(const std::string& text);

#endif
