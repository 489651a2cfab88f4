#include "cmi_connection.h"

#include <glob.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include <cm_mr_credential.h>

namespace {

using json = nlohmann::json;

const char* const kRequiredKeys[] = {"providername", "baseurl", "dbset", "userdb"};
const char* const kKnownKeys[] = {"providername", "baseurl",    "dbset",
                                  "userdb",       "tracelevel", "tracesubsystem"};
const char* const kTraceTags[] = {"CMMR", "CM_MR", "CMOSLC"};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

size_t edit_distance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

std::string nearest_known_key(const std::string& key) {
  std::string best;
  size_t best_distance = std::string::npos;
  for (const char* known : kKnownKeys) {
    const size_t d = edit_distance(lower(key), known);
    if (d < best_distance) {
      best_distance = d;
      best = known;
    }
  }
  return best;
}

// "LINE:COL" of a byte offset (1-based, columns in bytes).
std::string position(const std::string& text, size_t offset) {
  offset = std::min(offset, text.size());
  size_t line = 1, column = 1;
  for (size_t i = 0; i < offset; ++i) {
    if (text[i] == '\n') {
      ++line;
      column = 1;
    } else {
      ++column;
    }
  }
  return std::to_string(line) + ":" + std::to_string(column);
}

// Where a member name appears in the text (its opening quote), for pointing at it.
std::string key_position(const std::string& text, const std::string& key) {
  const size_t at = text.find(json(key).dump());
  return position(text, at == std::string::npos ? 0 : at);
}

// An http or https URL with a host.
bool valid_base_url(const std::string& url, std::string* why) {
  const size_t colon = url.find("://");
  if (colon == std::string::npos) {
    *why = "must be an http or https URL such as https://tracker.example.com/oslc";
    return false;
  }
  const std::string scheme = lower(url.substr(0, colon));
  if (scheme != "http" && scheme != "https") {
    *why = "must use http or https, not \"" + url.substr(0, colon) + "\"";
    return false;
  }
  std::string authority = url.substr(colon + 3, url.find_first_of("/?#", colon + 3) - colon - 3);
  authority =
      authority.substr(authority.find('@') == std::string::npos ? 0 : authority.find('@') + 1);
  std::string host = authority;
  if (!host.empty() && host[0] == '[') {
    host = host.substr(0, host.find(']') + 1);
  } else {
    host = host.substr(0, host.find(':'));
  }
  if (host.empty() || host == "[]") {
    *why = "has no host name";
    return false;
  }
  for (unsigned char c : url) {
    if (c <= 0x20 || c == 0x7f) {
      *why = "must not contain blanks or control characters";
      return false;
    }
  }
  return true;
}

bool valid_trace_level(const std::string& text, int* level) {
  if (text.empty() || text.size() > 1 || text[0] < '0' || text[0] > '5') return false;
  *level = text[0] - '0';
  return true;
}

bool valid_trace_tags(const std::string& text, std::string* bad) {
  std::stringstream in(text);
  for (std::string tag; std::getline(in, tag, ':');) {
    if (tag.empty()) continue;
    if (std::find_if(std::begin(kTraceTags), std::end(kTraceTags),
                     [&](const char* t) { return tag == t; }) == std::end(kTraceTags)) {
      *bad = tag;
      return false;
    }
  }
  return true;
}

std::string text_of(const json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

}  // namespace

void cmi_add_connection_options(CLI::App& command, CmiConnectionArgs& args) {
  command
      .add_option("--connection", args.file,
                  "the connection file: a JSON object with \"providername\", \"baseurl\", "
                  "\"dbset\" and \"userdb\" (optionally \"tracelevel\", \"tracesubsystem\")")
      ->required();
  command.add_option("--trace-level", args.trace_level,
                     "0 (off) to 5; replaces the file's \"tracelevel\"");
  command.add_option("--trace-subsystem", args.trace_subsystem,
                     "colon-separated tags CMMR, CM_MR, CMOSLC; replaces the file's "
                     "\"tracesubsystem\"");
  command.add_option("--plugin", args.plugin,
                     "the plug-in library to load (default: $CMI_PLUGIN, else libcmmrv1_0.so "
                     "next to cmi)");
  command.add_flag("--json", args.json, "print the result as one JSON object");
}

bool cmi_load_connection(const CmiConnectionArgs& args, CmiConnection* out, std::string* error) {
  const std::string& file = args.file;
  std::ifstream in(file);
  if (!in) {
    *error = "cannot open the connection file " + file + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  json conn;
  try {
    conn = json::parse(text);
  } catch (const json::parse_error& e) {
    std::string why = e.what();
    const size_t colon = why.find("parse error at ");
    why = why.substr(why.find(": ", colon == std::string::npos ? 0 : colon) + 2);
    *error = file + ":" + position(text, e.byte ? e.byte - 1 : 0) + ": not valid JSON: " + why;
    return false;
  }
  if (!conn.is_object()) {
    *error = file + ": must hold one JSON object";
    return false;
  }
  for (auto it = conn.begin(); it != conn.end(); ++it) {
    if (std::find_if(std::begin(kKnownKeys), std::end(kKnownKeys),
                     [&](const char* k) { return it.key() == k; }) != std::end(kKnownKeys))
      continue;
    *error = file + ":" + key_position(text, it.key()) + ": unknown key \"" + it.key() +
             "\"; did you mean \"" + nearest_known_key(it.key()) + "\"?";
    return false;
  }
  for (const char* key : kRequiredKeys) {
    if (!conn.contains(key)) {
      *error = file + " lacks \"" + key + "\"";
      return false;
    }
    if (!conn[key].is_string() || conn[key].get<std::string>().empty()) {
      *error = file + ":" + key_position(text, key) + ": \"" + key + "\" must be a non-empty text";
      return false;
    }
  }
  out->file = file;
  out->provider = conn["providername"];
  out->baseurl = conn["baseurl"];
  out->dbset = conn["dbset"];
  out->userdb = conn["userdb"];
  std::string why;
  if (!valid_base_url(out->baseurl, &why)) {
    *error = file + ":" + key_position(text, "baseurl") + ": \"baseurl\" " + why + ": \"" +
             out->baseurl + "\"";
    return false;
  }

  // The command line's trace options replace the file's; both must be usable.
  std::string level = conn.contains("tracelevel") ? text_of(conn["tracelevel"]) : "0";
  std::string where = file + ":" + key_position(text, "tracelevel") + ": \"tracelevel\"";
  if (!args.trace_level.empty()) {
    level = args.trace_level;
    where = "--trace-level";
  }
  if (!valid_trace_level(level, &out->trace_level)) {
    *error = where + " must be a number from 0 (off) to 5, not \"" + level + "\"";
    return false;
  }
  std::string tags = conn.contains("tracesubsystem") ? text_of(conn["tracesubsystem"]) : "";
  where = file + ":" + key_position(text, "tracesubsystem") + ": \"tracesubsystem\"";
  if (!args.trace_subsystem.empty()) {
    tags = args.trace_subsystem;
    where = "--trace-subsystem";
  }
  std::string bad;
  if (!valid_trace_tags(tags, &bad)) {
    *error = where + ": unknown tag \"" + bad + "\" (known: CMMR, CM_MR, CMOSLC)";
    return false;
  }
  if (!args.trace_level.empty()) conn["tracelevel"] = args.trace_level;
  if (!args.trace_subsystem.empty()) conn["tracesubsystem"] = args.trace_subsystem;
  out->request = conn;
  return true;
}

std::string cmi_trace_file() {
  std::string dir;
  if (const char* env = std::getenv("TAPIR_LOG_DIR"); env && *env) {
    dir = env;
  } else {
    // The login store lives in the home folder: HOME/.Corvane/.Registry/Tarnwell/CMI/MRUser.
    CM_MRCredential probe("", "", "", "", "");
    std::string store = probe.get_file_path().str();
    const size_t at = store.find("/.Corvane/");
    dir = (at == std::string::npos ? std::string(".") : store.substr(0, at)) + "/.Corvane/log";
  }
  const std::string suffix = "_p" + std::to_string(getpid()) + ".log";
  std::string found;
  for (const char* pattern : {"/cmmr_trace/*/cmmr_*", "/cmmr_trace/cmmr_*"}) {
    std::string wanted = dir;
    wanted.append(pattern).append(suffix);
    glob_t g{};
    if (glob(wanted.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0)
      found = g.gl_pathv[g.gl_pathc - 1];
    globfree(&g);
    if (!found.empty()) break;
  }
  return found;
}

std::string cmi_plain_text(const std::string& text) {
  std::string plain = text;
  // COMMIT's error text carries the tracker's part JSON-escaped once more.
  if (plain.find('\\') != std::string::npos) {
    std::string quoted;
    for (size_t i = 0; i < plain.size(); ++i) {
      const char c = plain[i];
      if (c == '"' && (i == 0 || plain[i - 1] != '\\'))
        quoted += "\\\"";
      else if (c == '\n')
        quoted += "\\n";
      else
        quoted += c;
    }
    json unescaped = json::parse("\"" + quoted + "\"", nullptr, false);
    if (unescaped.is_string()) plain = unescaped.get<std::string>();
  }
  while (!plain.empty() && (plain.back() == '\n' || plain.back() == ' ' || plain.back() == '\r'))
    plain.pop_back();
  return plain;
}
