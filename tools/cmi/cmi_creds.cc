// cmi creds: add, list and remove the stored tracker logins of the current user through the
// library's exported credential store. Passwords come from standard input or from the terminal
// with echo off; they are never printed. The optional server URL of a login is kept by this tool
// beside the store (MRUserURL/<provider>/<dbset>/<userdb>), since the login file holds only the
// user name and the stored password.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <cm_mr_credential.h>
#include <cm_mr_credential_list.h>
#include "cmi.h"
#include "platform/ks/ks.h"
#include "platform/ks/ks_fd.h"

namespace {

const int kOk = 0;
const int kFailed = 1;
const int kMisuse = 2;
// Longest password line accepted; the stored form has a fixed upper size anyway.
const size_t kMaxPassword = 1024;

// One login's connection and user, as given on the command line.
struct CredsArgs {
  std::string provider, dbset, userdb, user, url;
  bool have_url = false;
  bool password_stdin = false;
  bool json = false;
};

// A provider, dbset or user database name becomes a folder or file name of the store: it must
// name exactly one entry inside its parent folder.
bool valid_store_name(const std::string& name, std::string& why) {
  if (name.empty()) {
    why = "is empty";
    return false;
  }
  if (name[0] == '.') {
    why = "must not begin with '.'";
    return false;
  }
  for (unsigned char c : name) {
    if (c == '/') {
      why = "must not contain '/'";
      return false;
    }
    if (c < 0x20 || c == 0x7f) {
      why = "must not contain control characters";
      return false;
    }
  }
  return true;
}

int check_store_names(const CLI::App& command, const CredsArgs& args) {
  const std::pair<const char*, const std::string*> names[] = {
      {"--provider", &args.provider}, {"--dbset", &args.dbset}, {"--userdb", &args.userdb}};
  for (const auto& name : names) {
    std::string why;
    if (!valid_store_name(*name.second, why))
      return cmi_misuse(command, std::string(name.first) + " " + why);
  }
  return kOk;
}

bool has_control_characters(const std::string& text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7f) return true;
  }
  return false;
}

void wipe(std::string& secret) {
  if (!secret.empty()) explicit_bzero(&secret[0], secret.size());
  secret.clear();
}

// Reads one line (without its line end) from fd. False on a read error or a line that is too
// long; an empty line and end of input give an empty text.
bool read_line(int fd, std::string& out) {
  out.clear();
  for (;;) {
    char c;
    ssize_t n = ::read(fd, &c, 1);
    if (n < 0) {
      if (errno == EINTR) continue;
      wipe(out);
      return false;
    }
    if (n == 0 || c == '\n') break;
    if (out.size() >= kMaxPassword) {
      wipe(out);
      return false;
    }
    out.push_back(c);
  }
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

// The terminal state to put back if a signal ends the prompt while echo is off.
int g_tty_fd = -1;
struct termios g_tty_saved;

extern "C" void restore_tty_and_reraise(int sig) {
  if (g_tty_fd >= 0) tcsetattr(g_tty_fd, TCSAFLUSH, &g_tty_saved);
  signal(sig, SIG_DFL);
  raise(sig);
}

// Owns the controlling terminal's descriptor and brings echo back on every way out.
class EchoOff {
 public:
  static const int kSignals[4];

  explicit EchoOff(int fd) : m_fd(fd) {
    if (tcgetattr(fd, &m_saved) != 0) return;
    g_tty_saved = m_saved;
    g_tty_fd = fd;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = restore_tty_and_reraise;
    sigemptyset(&action.sa_mask);
    for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &action, &m_old_actions[i]);
    struct termios quiet = m_saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    quiet.c_lflag |= ECHONL | ICANON;
    m_ok = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
  }
  ~EchoOff() {
    if (g_tty_fd >= 0) {
      tcsetattr(m_fd, TCSAFLUSH, &m_saved);
      for (int i = 0; i < 4; ++i) sigaction(kSignals[i], &m_old_actions[i], nullptr);
      g_tty_fd = -1;
    }
  }
  EchoOff(const EchoOff&) = delete;
  EchoOff& operator=(const EchoOff&) = delete;
  bool ok() const { return m_ok; }

 private:
  int m_fd;
  bool m_ok = false;
  struct termios m_saved;
  struct sigaction m_old_actions[4];
};

const int EchoOff::kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

int prompt_password(const std::string& user, std::string& out) {
  int fd = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr,
                 "cmi creds add: no terminal to ask for the password; use --password-stdin\n");
    return kMisuse;
  }
  KS_Fd closer(fd);
  EchoOff quiet(fd);
  if (!quiet.ok()) {
    std::fprintf(stderr, "cmi creds add: cannot switch terminal echo off; use --password-stdin\n");
    return kMisuse;
  }
  std::string prompt = "Password for " + user + ": ";
  if (::write(fd, prompt.data(), prompt.size()) < 0) return kFailed;
  if (!read_line(fd, out)) {
    std::fprintf(stderr, "cmi creds add: could not read the password\n");
    return kFailed;
  }
  return kOk;
}

// --- URL side store: <CMI folder>/MRUserURL/<provider>/<dbset>/<userdb>, one line of text.

// The per-user product folder: the default login store is "<CMI folder>/MRUser".
std::string cmi_folder() {
  CM_MRCredential probe("", "", "", "", "");
  std::string store = probe.get_file_path().str();
  size_t slash = store.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : store.substr(0, slash);
}

std::string url_root() { return cmi_folder() + "/MRUserURL"; }

std::string url_path(const std::string& provider, const std::string& dbset,
                     const std::string& userdb) {
  return url_root() + "/" + provider + "/" + dbset + "/" + userdb;
}

// Replaces the file whole: a reader sees the old text or the new one, never a mixture.
bool write_whole_file(const std::string& path, const std::string& text) {
  const std::string folder = path.substr(0, path.find_last_of('/'));
  return fileutl_mkpath(folder.c_str(), 0700, 0) == 0 &&
         strutl_write(text.c_str(), path.c_str(), 0, 0) == 0;
}

std::string read_url(const std::string& provider, const std::string& dbset,
                     const std::string& userdb) {
  FILE* in = std::fopen(url_path(provider, dbset, userdb).c_str(), "r");
  if (!in) return std::string();
  char buf[4096];
  std::string text;
  if (std::fgets(buf, sizeof buf, in)) text = buf;
  std::fclose(in);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Deletes root/provider/dbset/userdb and the folders above it that this leaves empty. False only
// when the file exists and could not be deleted.
bool remove_connection_file(const std::string& root, const std::string& provider,
                            const std::string& dbset, const std::string& userdb) {
  if (unlink((root + "/" + provider + "/" + dbset + "/" + userdb).c_str()) != 0)
    return errno == ENOENT;
  // Folders still used by other connections refuse rmdir and stay.
  if (rmdir((root + "/" + provider + "/" + dbset).c_str()) != 0) return true;
  if (rmdir((root + "/" + provider).c_str()) != 0) return true;
  rmdir(root.c_str());
  return true;
}

void remove_url(const std::string& provider, const std::string& dbset, const std::string& userdb) {
  remove_connection_file(url_root(), provider, dbset, userdb);
}

// The session cookie belongs to the login that opened the session: a removed or replaced login
// must not keep working through it.
bool forget_session(const char* command, const std::string& provider, const std::string& dbset,
                    const std::string& userdb) {
  const std::string root = cmi_folder() + "/CookieJar";
  if (remove_connection_file(root, provider, dbset, userdb)) return true;
  std::fprintf(stderr, "cmi creds %s: could not delete the session cookie %s/%s/%s/%s: %s\n",
               command, root.c_str(), provider.c_str(), dbset.c_str(), userdb.c_str(),
               std::strerror(errno));
  return false;
}

// Width on screen of UTF-8 text, counting each character once.
size_t display_width(const std::string& text) {
  size_t width = 0;
  for (unsigned char c : text) width += (c & 0xC0) != 0x80;
  return width;
}

// --- subcommands

int creds_add(const CLI::App& command, const CredsArgs& args) {
  int rc = check_store_names(command, args);
  if (rc != kOk) return rc;
  const std::string& provider = args.provider;
  const std::string& dbset = args.dbset;
  const std::string& userdb = args.userdb;
  const std::string& user = args.user;
  if (user.empty() || has_control_characters(user))
    return cmi_misuse(command, "--user must be a non-empty name without control characters");
  const bool have_url = args.have_url;
  const std::string& url = args.url;
  if (has_control_characters(url))
    return cmi_misuse(command, "--url must not hold control characters");

  std::string password;
  if (args.password_stdin) {
    if (!read_line(STDIN_FILENO, password)) {
      std::fprintf(stderr, "cmi creds add: could not read the password from standard input\n");
      return kFailed;
    }
  } else {
    rc = prompt_password(user, password);
    if (rc != kOk) return rc;
  }
  if (password.empty()) {
    std::fprintf(stderr, "cmi creds add: the password is empty; nothing stored\n");
    return kFailed;
  }

  CM_MRCredential credential(user.c_str(), password.c_str(), provider.c_str(), userdb.c_str(),
                             dbset.c_str(), url.c_str());
  wipe(password);
  if (credential.get_encrypt_pw().GetLength() == 0) {
    if (credential.get_error_number() != 0)
      std::fprintf(stderr, "cmi creds add: the password cannot be stored: %s\n",
                   std::strerror(credential.get_error_number()));
    else
      std::fprintf(stderr,
                   "cmi creds add: the password cannot be stored (too long, or the key file of "
                   "the store cannot be used)\n");
    return kFailed;
  }
  int code = credential.add();
  if (code != 0) {
    const int cause = credential.get_error_number();
    std::fprintf(stderr, "cmi creds add: could not store the login under %s: %s (status %d)\n",
                 credential.get_file_path().c_str(),
                 cause != 0 ? std::strerror(cause) : "unknown cause", code);
    return kFailed;
  }
  if (!forget_session("add", provider, dbset, userdb)) return kFailed;
  if (have_url) {
    if (url.empty()) {
      remove_url(provider, dbset, userdb);
    } else if (!write_whole_file(url_path(provider, dbset, userdb), url + "\n")) {
      std::fprintf(stderr,
                   "cmi creds add: login stored, but its URL could not be saved in %s: %s\n",
                   url_path(provider, dbset, userdb).c_str(), std::strerror(errno));
      return kFailed;
    }
  }
  std::printf("Stored login '%s' for provider '%s', dbset '%s', user database '%s'.\n",
              user.c_str(), provider.c_str(), dbset.c_str(), userdb.c_str());
  return kOk;
}

int creds_list(const CredsArgs& args) {
  CM_MRCredentialList list;
  int code = CM_MRCredential::lookup(list);
  if (code != 0) {
    std::fprintf(stderr, "cmi creds list: could not read the stored logins (status %d)\n", code);
    return kFailed;
  }
  if (list.is_empty() && !args.json) {
    std::printf("No stored logins.\n");
    return kOk;
  }
  std::vector<std::vector<std::string>> rows = {{"PROVIDER", "DBSET", "USERDB", "USER", "URL"}};
  for (uint32_t i = 0; i < list.length(); ++i) {
    const CM_MRCredential& c = list[i];
    std::string provider = c.get_provider_name().str();
    std::string dbset = c.get_dbset().str();
    std::string userdb = c.get_user_database_name().str();
    rows.push_back(
        {provider, dbset, userdb, c.get_user_name().str(), read_url(provider, dbset, userdb)});
  }
  if (args.json) {
    nlohmann::json out = nlohmann::json::array();
    for (size_t i = 1; i < rows.size(); ++i)
      out.push_back({{"provider", rows[i][0]},
                     {"dbset", rows[i][1]},
                     {"userdb", rows[i][2]},
                     {"user", rows[i][3]},
                     {"url", rows[i][4]}});
    std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kOk;
  }
  std::vector<size_t> width(5, 0);
  for (const auto& row : rows)
    for (size_t col = 0; col < 5; ++col) width[col] = std::max(width[col], display_width(row[col]));
  for (const auto& row : rows) {
    std::string line;
    for (size_t col = 0; col < 5; ++col) {
      line += row[col];
      if (col + 1 < 5) line += std::string(width[col] - display_width(row[col]) + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    std::printf("%s\n", line.c_str());
  }
  return kOk;
}

int creds_remove(const CLI::App& command, const CredsArgs& args) {
  int rc = check_store_names(command, args);
  if (rc != kOk) return rc;
  const std::string& provider = args.provider;
  const std::string& dbset = args.dbset;
  const std::string& userdb = args.userdb;

  // The look-up fills in the store's location even when the file is unreadable, so a damaged
  // login can still be removed.
  CM_MRCredential credential;
  (void)credential.lookup(provider.c_str(), dbset.c_str(), userdb.c_str(), "");
  std::string file = credential.get_file_path().str() + "/" + provider + "/" + dbset + "/" +
                     credential.get_file_name().str();
  struct stat st;
  if (stat(file.c_str(), &st) != 0) {
    std::fprintf(stderr,
                 "cmi creds remove: no stored login for provider '%s', dbset '%s', user "
                 "database '%s'\n",
                 provider.c_str(), dbset.c_str(), userdb.c_str());
    return kFailed;
  }
  int code = credential.remove();
  if (code != 0 || stat(file.c_str(), &st) == 0) {
    std::fprintf(stderr, "cmi creds remove: could not delete %s (status %d)\n", file.c_str(), code);
    return kFailed;
  }
  remove_url(provider, dbset, userdb);
  if (!forget_session("remove", provider, dbset, userdb)) return kFailed;
  std::printf("Removed login for provider '%s', dbset '%s', user database '%s'.\n",
              provider.c_str(), dbset.c_str(), userdb.c_str());
  return kOk;
}

}  // namespace

void cmi_add_creds(CLI::App& root, CmiCommands& commands) {
  CLI::App* creds = cmi_add_group(
      root, "creds",
      "Manages the tracker logins the plug-in uses, one per provider, database set and "
      "user database.");
  auto args = std::make_shared<CredsArgs>();
  auto connection = [&args](CLI::App* app) {
    app->add_option("--provider", args->provider, "the connection's provider name")->required();
    app->add_option("--dbset", args->dbset, "the tracker database set")->required();
    app->add_option("--userdb", args->userdb, "the tracker user database")->required();
  };

  CLI::App* add = cmi_add_command(
      *creds, commands, "add",
      "Stores (or replaces) the login of a user. The password is asked for on the terminal (not "
      "echoed), or read as the first line of standard input with --password-stdin. Replacing or "
      "removing a login also forgets the connection's session, so the old login stops working "
      "at once.",
      [args](const CLI::App& self) { return creds_add(self, *args); });
  connection(add);
  add->add_option("--user", args->user, "the tracker user name")->required();
  add->add_option("--url", args->url,
                  "the tracker's base URL, kept for 'cmi creds list' (default: the URL stored "
                  "before; an empty value forgets it)")
      ->each([args](const std::string&) { args->have_url = true; });
  add->add_flag("--password-stdin", args->password_stdin, "read the password from standard input");

  CLI::App* list = cmi_add_command(
      *creds, commands, "list",
      "Shows provider, database set, user database, user and URL of every stored login, "
      "never a password.",
      [args](const CLI::App&) { return creds_list(*args); });
  list->add_flag("--json", args->json, "print a JSON array of the logins");

  connection(
      cmi_add_command(*creds, commands, "remove",
                      "Deletes one stored login and forgets the connection's session cookie.",
                      [args](const CLI::App& self) { return creds_remove(self, *args); }));
}
