// cmi link / cmi unlink: ties versions to change-request records (or unties them) through the
// plug-in: INITIALIZE from a connection file, one ASSOCIATE or DISASSOCIATE per version, one
// COMMIT for all records, and a verdict per record that says what really changed. The record's
// links are read before and, after a failed COMMIT, again, so the verdict names the versions
// that were already linked and the records that failed.
#include <cm_rest_uri.h>
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "cmi.h"
#include "cmi_connection.h"
#include "cmi_host.h"
#include "cmi_record.h"

namespace {

using json = nlohmann::json;

// Batches at least this long report their progress on standard error.
constexpr size_t kProgressThreshold = 100;

struct Version {
  std::string selector, name;
};

// The versions of one record, in the order given.
struct RecordChange {
  std::string record;
  std::vector<Version> versions;
  CmiRecord before;  // status != 0: the links could not be read
  bool failed = false;
  std::string error, hint;
};

struct LinkArgs {
  CmiConnectionArgs connection;
  std::string record;
  std::vector<Version> versions;
  std::string from;
};

std::string plural(size_t n, const char* word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

RecordChange& change_of(std::vector<RecordChange>& changes, const std::string& record) {
  for (RecordChange& c : changes)
    if (c.record == record) return c;
  changes.push_back({record, {}, {}, false, "", ""});
  return changes.back();
}

// Lines of "RECORD SELECTOR [NAME]"; blank lines and # comments are skipped. False with *error
// naming the first malformed line.
bool read_batch(const std::string& file, std::vector<RecordChange>& changes, std::string* error) {
  std::ifstream in_file;
  if (file != "-") {
    in_file.open(file);
    if (!in_file) {
      *error = "cannot open " + file + ": " + std::strerror(errno);
      return false;
    }
  }
  std::istream& in = file == "-" ? std::cin : in_file;
  const std::string source = file == "-" ? "<stdin>" : file;
  std::string line;
  for (size_t number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields;
    size_t at = line.find_first_not_of(" \t");
    if (at == std::string::npos || line[at] == '#') continue;
    while (at != std::string::npos && fields.size() < 2) {
      const size_t end = line.find_first_of(" \t", at);
      fields.push_back(line.substr(at, end == std::string::npos ? end : end - at));
      at = end == std::string::npos ? end : line.find_first_not_of(" \t", end);
    }
    if (fields.size() < 2) {
      // Once, on the way out of the loop: clearer as one expression than as appends.
      // NOLINTNEXTLINE(performance-inefficient-string-concatenation)
      *error = source + ":" + std::to_string(number) + ": expected RECORD SELECTOR [NAME], got \"" +
               line + "\"";
      return false;
    }
    std::string name = at == std::string::npos ? fields[1] : line.substr(at);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    change_of(changes, fields[0]).versions.push_back({fields[1], name});
  }
  if (in.bad()) {
    *error = "error reading " + source;
    return false;
  }
  if (changes.empty()) {
    *error = source + " holds no RECORD SELECTOR lines";
    return false;
  }
  return true;
}

// What to try for the usual causes of a failure.
std::string hint_for(const std::string& text, const CmiConnection& conn) {
  if (text.find("Authorization failed") != std::string::npos)
    return "the tracker refused the login; store it again: cmi creds add --provider " +
           conn.provider + " --dbset " + conn.dbset + " --userdb " + conn.userdb + " --user NAME";
  if (text.find("not found") != std::string::npos)
    return "check the record ID (--record) and the base URL " + conn.baseurl + " in " + conn.file;
  if (text.find("CURL returned") != std::string::npos)
    return "the tracker at " + conn.baseurl + " could not be reached; 'cmi check --connection " +
           conn.file + "' shows which step fails";
  return "";
}

std::set<std::string> selectors(const RecordChange& c) {
  std::set<std::string> out;
  for (const Version& v : c.versions) out.insert(v.selector);
  return out;
}

// The versions that need doing: not yet linked (link) or linked (unlink). All when unknown.
std::set<std::string> needed(bool link, const RecordChange& c) {
  std::set<std::string> out;
  for (const std::string& s : selectors(c))
    if (c.before.status != 0 || (c.before.links.count(s) != 0) != link) out.insert(s);
  return out;
}

std::string verdict(bool link, const RecordChange& c) {
  const size_t all = selectors(c).size();
  const size_t done = needed(link, c).size();
  const size_t skipped = all - done;
  const char* verb = link ? "Linked " : "Unlinked ";
  const std::string to = (link ? " to record " : " from record ") + c.record;
  if (done == 0) {
    const char* what = link ? "Nothing to link: " : "Nothing to unlink: ";
    if (all == 1)
      return what + *selectors(c).begin() +
             (link ? " is already linked to " : " is not linked to ") + c.record + ".";
    return what +
           (link ? "all " + std::to_string(all) + " versions are already linked to "
                 : "none of the " + std::to_string(all) + " versions is linked to ") +
           c.record + ".";
  }
  std::string out = verb + plural(done, "version") + to;
  if (skipped > 0)
    out += "; " + std::to_string(skipped) + (skipped == 1 ? " was" : " were") +
           (link ? " already linked" : " not linked");
  return out + ".";
}

json result_json(bool link, const RecordChange& c) {
  json r = {{"record", c.record}};
  const std::set<std::string> doing = needed(link, c);
  std::vector<std::string> changed, unchanged;
  for (const std::string& s : selectors(c)) (doing.count(s) ? changed : unchanged).push_back(s);
  if (c.failed) {
    r["result"] = "failed";
    r["error"] = c.error;
    if (!c.hint.empty()) r["hint"] = c.hint;
    r["versions"] = selectors(c);
  } else {
    r["result"] = changed.empty() ? "unchanged" : (link ? "linked" : "unlinked");
    r[link ? "linked" : "unlinked"] = changed;
    r[link ? "already_linked" : "not_linked"] = unchanged;
  }
  return r;
}

// After a failed COMMIT: a record whose links now show the wanted state was done, the rest failed.
void mark_failures(bool link, std::vector<RecordChange>& changes, const CmiConnection& conn,
                   const std::string& text) {
  for (RecordChange& c : changes) {
    const CmiRecord after = cmi_read_record(conn, c.record);
    bool done = after.status == 0;
    for (const std::string& s : selectors(c)) done = done && (after.links.count(s) != 0) == link;
    if (done) continue;
    c.failed = true;
    c.error = text;
    if (after.status != 0 && after.status != CM_REST_NOT_FOUND && changes.size() > 1) {
      // Nothing tells which record failed: each is named with the commit's error.
    } else if (after.status == CM_REST_NOT_FOUND) {
      c.error = text.find(c.record) != std::string::npos
                    ? text
                    : "record " + c.record + " not found: " + text;
    }
    c.hint = hint_for(c.error, conn);
  }
}

int link_or_unlink(const CLI::App& command, bool link, const LinkArgs& args) {
  const char* cmd = link ? "cmi link" : "cmi unlink";
  std::vector<RecordChange> changes;
  if (!args.from.empty()) {
    if (!args.record.empty() || !args.versions.empty())
      return cmi_misuse(command, "--from cannot be combined with --record or --version");
    std::string error;
    if (!read_batch(args.from, changes, &error))
      return cmi_misuse(command, error + "; nothing was changed");
  } else {
    if (args.record.empty()) return cmi_misuse(command, "option --record is required");
    if (args.versions.empty()) return cmi_misuse(command, "option --version is required");
    change_of(changes, args.record).versions = args.versions;
  }
  CmiConnection conn;
  std::string error;
  if (!cmi_load_connection(args.connection, &conn, &error)) return cmi_misuse(command, error);

  const bool json_out = args.connection.json;
  auto fail = [&](const std::string& text, const std::string& hint) {
    if (json_out) {
      json out = {{"command", link ? "link" : "unlink"}, {"ok", false}, {"error", text}};
      if (!hint.empty()) out["hint"] = hint;
      std::printf("%s\n", out.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
    } else {
      std::fprintf(stderr, "%s: %s\n", cmd, text.c_str());
      if (!hint.empty()) std::fprintf(stderr, "  hint: %s\n", hint.c_str());
    }
    return 1;
  };

  for (RecordChange& c : changes) c.before = cmi_read_record(conn, c.record);

  CmiPlugin plugin;
  if (!plugin.load(args.connection.plugin)) return fail(plugin.error(), "");
  void* handle = nullptr;
  std::int32_t rc = 0;
  std::string reply;
  const std::string init = conn.request.dump(-1, ' ', false, json::error_handler_t::replace);
  const bool initialized = plugin.call("INITIALIZE", &handle, init, &rc, &reply) && rc == 0;
  if (conn.trace_level > 0) {
    const std::string trace = cmi_trace_file();
    std::fprintf(stderr, "%s: trace file: %s\n", cmd,
                 trace.empty() ? "no trace file could be opened" : trace.c_str());
  }
  auto reply_text = [&reply](const char* key) {
    json j = json::parse(reply, nullptr, false);
    if (j.is_discarded()) return cmi_plain_text(reply);
    return j.is_object() && j.contains(key) && j[key].is_string()
               ? cmi_plain_text(j[key].get<std::string>())
               : std::string();
  };
  if (!initialized)
    return fail("the connection could not be set up: " + reply_text("error_message"), "");
  const std::string session_error = reply_text("error_message");
  if (!session_error.empty()) std::fprintf(stderr, "%s: warning: %s\n", cmd, session_error.c_str());

  size_t total = 0;
  for (const RecordChange& c : changes) total += c.versions.size();
  const bool progress = total >= kProgressThreshold;
  const size_t step = total / 10 ? total / 10 : 1;
  const char* op = link ? "ASSOCIATE" : "DISASSOCIATE";
  size_t scheduled = 0;
  for (const RecordChange& c : changes) {
    for (const Version& v : c.versions) {
      json request = {{"twversion", {{"universal_selector", v.selector}, {"display_name", v.name}}},
                      {"cmtask", {{"taskid", c.record}}}};
      const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
      if (!plugin.call(op, &handle, text, &rc, &reply) || rc != 1)
        return fail("version " + v.selector + " of record " + c.record + " was not accepted: " +
                        reply_text("error_message") + "; nothing was changed",
                    "");
      ++scheduled;
      if (progress && (scheduled % step == 0 || scheduled == total))
        std::fprintf(stderr, "%s: scheduled %zu of %zu versions\n", cmd, scheduled, total);
    }
  }
  if (progress)
    std::fprintf(stderr, "%s: committing %zu changes to %s...\n", cmd, total,
                 changes.size() == 1 ? ("record " + changes[0].record).c_str()
                                     : plural(changes.size(), "record").c_str());
  plugin.call("COMMIT", &handle, "", &rc, &reply);
  if (rc != 0) mark_failures(link, changes, conn, reply_text("error_message"));

  bool any_failed = false;
  json results = json::array();
  for (const RecordChange& c : changes) {
    any_failed = any_failed || c.failed;
    if (json_out) {
      results.push_back(result_json(link, c));
    } else if (c.failed) {
      std::fprintf(stderr, "%s: record %s failed, its links were not changed: %s\n", cmd,
                   c.record.c_str(), c.error.c_str());
      if (!c.hint.empty()) std::fprintf(stderr, "  hint: %s\n", c.hint.c_str());
    } else {
      std::printf("%s\n", verdict(link, c).c_str());
    }
  }
  if (json_out) {
    json out = {{"command", link ? "link" : "unlink"}, {"ok", !any_failed}, {"records", results}};
    std::printf("%s\n", out.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
  } else if (rc != 0 && !any_failed) {
    // The tracker holds the wanted links although COMMIT reported a failure: say so.
    std::fprintf(stderr, "%s: warning: the commit reported: %s\n", cmd,
                 reply_text("error_message").c_str());
  }
  return any_failed ? 1 : 0;
}

void add_link_command(CLI::App& root, CmiCommands& commands, bool link) {
  auto args = std::make_shared<LinkArgs>();
  CLI::App* command = root.add_subcommand(
      link ? "link" : "unlink",
      std::string(link ? "Links versions to change-request records"
                       : "Unlinks versions from change-request records") +
          " in one commit and says what changed. Versions come from --record with --version "
          "(each optionally followed by --name, the display name; default: the selector), or "
          "from a file of \"RECORD SELECTOR [NAME]\" lines (--from FILE, - for standard input).");
  cmi_add_connection_options(*command, args->connection);
  command->add_option("--record", args->record, "the change-request record ID");
  command
      ->add_option_function<std::string>(
          "--version",
          [args](const std::string& v) {
            args->versions.push_back({v, v});
          },
          "a version's universal selector; may be repeated")
      ->trigger_on_parse()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command
      ->add_option_function<std::string>(
          "--name",
          [args](const std::string& n) {
            if (args->versions.empty())
              throw CLI::ValidationError("--name must follow a --version");
            args->versions.back().name = n;
          },
          "the display name of the version before it")
      ->trigger_on_parse()
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  command->add_option("--from", args->from, "a file of RECORD SELECTOR [NAME] lines, - for stdin");
  command->footer("Exit status: 0 done (also when nothing needed doing), 1 failed, 2 misuse.");
  commands.push_back(
      {command, [command, args, link] { return link_or_unlink(*command, link, *args); }});
}

}  // namespace

void cmi_add_link(CLI::App& root, CmiCommands& commands) {
  add_link_command(root, commands, true);
  add_link_command(root, commands, false);
}
