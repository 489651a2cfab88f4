#include "platform/nt/nt.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/ks/ks.h"
#include "platform/ks/ks_file_system.h"

struct ntregy_key_s {
  std::string file;
};

int unix_nt_access(const char* path, int mode) {
  if (!path) return -1;
  return access(path, mode);
}

int unix_nt_open(const char* path, int flags, int mode) {
  return path ? ks_system_files().Open(path, flags, static_cast<mode_t>(mode)) : -1;
}

int unix_nt_close(int fd) { return ks_system_files().Close(fd); }

time_t unix_nt_time(time_t* out) { return time(out); }

const char* ntregy_get_common_key() { return "Software/Corvane/Tarnwell"; }

namespace {

using Json = nlohmann::ordered_json;

std::string hive_folder(int hive) {
  if (hive == NTREGY_CURRENT_USER)
    return sysutl_home_dir().str() + "/.Corvane/.Registry/CurrentUser";
  if (hive == NTREGY_LOCAL_MACHINE) {
    const char* env = getenv("TAPIR_MACHINE_REGISTRY");
    return env && *env ? std::string(env) : std::string("/etc/Corvane/.Registry/LocalMachine");
  }
  return std::string();
}

// A key path stays inside its hive: relative, no "." or ".." pieces, no empty pieces.
bool valid_key_path(const char* key_path) {
  if (!key_path || !*key_path || key_path[0] == '/') return false;
  std::string p(key_path);
  size_t start = 0;
  while (start <= p.size()) {
    size_t end = p.find('/', start);
    if (end == std::string::npos) end = p.size();
    std::string piece = p.substr(start, end - start);
    if (piece.empty() || piece == "." || piece == "..") return false;
    start = end + 1;
  }
  return true;
}

std::string key_file(int hive, const char* key_path) {
  std::string folder = hive_folder(hive);
  if (folder.empty() || !valid_key_path(key_path)) return std::string();
  return folder + "/" + key_path;
}

// The key's values; a missing or corrupt file reads as no values.
Json load_values(const std::string& file) {
  SUM_String text = strutl_read(1, file.c_str(), 0, 1, 0);
  Json values = Json::parse(text.str(), nullptr, false);
  if (values.is_discarded() || !values.is_object()) return Json::object();
  return values;
}

bool is_valid_utf8(const std::string& s) {
  try {
    (void)Json(s).dump();
    return true;
  } catch (...) {
    return false;
  }
}

// Text that is not UTF-8 is kept as its list of byte values.
Json encode_value(const std::string& value) {
  if (is_valid_utf8(value)) return Json(value);
  Json bytes = Json::array();
  for (unsigned char c : value) bytes.push_back(static_cast<int>(c));
  return Json{{"bytes", bytes}};
}

bool decode_value(const Json& stored, std::string* value) {
  if (stored.is_string()) {
    *value = stored.get<std::string>();
    return true;
  }
  if (!stored.is_object() || !stored.contains("bytes") || !stored["bytes"].is_array()) return false;
  value->clear();
  for (const auto& b : stored["bytes"]) {
    if (!b.is_number_integer()) return false;
    int v = b.get<int>();
    if (v < 0 || v > 255) return false;
    value->push_back(static_cast<char>(v));
  }
  return true;
}

// Machine-wide settings are a policy every user reads (only their owner, root, writes them);
// a user's own settings stay private.
mode_t folder_mode(int hive) { return hive == NTREGY_LOCAL_MACHINE ? 0755 : 0700; }
mode_t file_mode(int hive) { return hive == NTREGY_LOCAL_MACHINE ? 0644 : 0600; }

// Creates the missing folders of path with exactly the given mode, whatever the umask.
int make_folders(const std::string& path, mode_t mode) {
  for (size_t pos = 1; pos <= path.size(); ++pos) {
    if (pos != path.size() && path[pos] != '/') continue;
    const std::string part = path.substr(0, pos);
    if (part.back() == '/') continue;
    if (mkdir(part.c_str(), mode) == 0) {
      if (chmod(part.c_str(), mode) != 0) return -1;
    } else {
      struct stat st;
      if (errno != EEXIST || stat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return -1;
    }
  }
  return 0;
}

ntregy_key make_handle(const std::string& file) {
  auto key = std::make_unique<ntregy_key_s>();
  key->file = file;
  return key.release();  // the caller owns it until ntregy_close_key
}

}  // namespace

int ntregy_get_value(int hive, const char* key_path, const char* name, char* buf, int size,
                     ntregy_key* key_out) {
  if (key_out) *key_out = nullptr;
  if (!name || !buf || size <= 0) return -1;
  buf[0] = '\0';
  try {
    std::string file = key_file(hive, key_path);
    if (file.empty()) return -1;
    Json values = load_values(file);
    auto it = values.find(name);
    if (it == values.end()) return 2;
    std::string value;
    if (!decode_value(*it, &value) || memchr(value.data(), '\0', value.size())) return 2;
    if (value.size() + 1 > static_cast<size_t>(size)) return 3;
    memcpy(buf, value.c_str(), value.size() + 1);
    if (key_out) *key_out = make_handle(file);
    return 0;
  } catch (...) {
    return -1;
  }
}

int ntregy_create_value(int hive, const char* key_path, const char* name, const char* text, int len,
                        int type, ntregy_key* key_out) {
  if (key_out) *key_out = nullptr;
  if (!name || !*name || (!text && len > 0) || len < 0 || type != 1) return -1;
  try {
    std::string value(text ? text : "", static_cast<size_t>(len));
    if (memchr(value.data(), '\0', value.size())) return -1;
    if (!is_valid_utf8(name)) return -1;
    std::string file = key_file(hive, key_path);
    if (file.empty()) return -1;
    std::string folder = file.substr(0, file.find_last_of('/'));
    if (make_folders(folder, folder_mode(hive)) != 0) return -1;
    Json values = load_values(file);
    values[name] = encode_value(value);
    if (strutl_write(values.dump(1, '\t').c_str(), file.c_str(), 0, 0) != 0) return -1;
    if (chmod(file.c_str(), file_mode(hive)) != 0) return -1;
    if (key_out) *key_out = make_handle(file);
    return 0;
  } catch (...) {
    return -1;
  }
}

int ntregy_close_key(ntregy_key key) {
  std::unique_ptr<ntregy_key_s> owned(key);
  return key ? 0 : -1;
}
