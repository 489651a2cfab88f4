// The storing transform: passwords and cookies are kept on disk only sealed with AES-256-GCM
// under a random per-user key. Stored form: "v1:" followed by base64(nonce | ciphertext | tag).
#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/ks/ks.h"
#include "platform/ks/ks_fd.h"
#include "platform/ks/ks_file_system.h"

namespace {

const size_t kKeyLen = 32;
const size_t kNonceLen = 12;
const size_t kTagLen = 16;
const char kPrefix[] = "v1:";
const size_t kPrefixLen = sizeof kPrefix - 1;
// Binds the sealed bytes to the format version.
const unsigned char kAad[] = {'c', 'm', 'i', '-', 'v', '1'};

// Wipes a secret when it goes out of scope.
struct Secret {
  unsigned char bytes[kKeyLen];
  Secret() { memset(bytes, 0, sizeof bytes); }
  ~Secret() { OPENSSL_cleanse(bytes, sizeof bytes); }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
};

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

const char kB64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64_encode(const unsigned char* data, size_t len) {
  std::string out;
  out.reserve((len + 2) / 3 * 4);
  for (size_t i = 0; i < len; i += 3) {
    unsigned v = static_cast<unsigned>(data[i]) << 16;
    if (i + 1 < len) v |= static_cast<unsigned>(data[i + 1]) << 8;
    if (i + 2 < len) v |= data[i + 2];
    out += kB64[(v >> 18) & 63];
    out += kB64[(v >> 12) & 63];
    out += i + 1 < len ? kB64[(v >> 6) & 63] : '=';
    out += i + 2 < len ? kB64[v & 63] : '=';
  }
  return out;
}

int b64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict decoding: whole quads, padding only at the end, no other characters.
bool base64_decode(const char* text, size_t len, std::string* out) {
  if (len == 0 || len % 4 != 0) return false;
  out->clear();
  for (size_t i = 0; i < len; i += 4) {
    int v[4];
    int pad = 0;
    for (int k = 0; k < 4; ++k) {
      char c = text[i + k];
      if (c == '=' && i + 4 == len && k >= 2) {
        v[k] = 0;
        ++pad;
        continue;
      }
      if (pad) return false;  // data after padding
      v[k] = b64_value(c);
      if (v[k] < 0) return false;
    }
    // Canonical form only: bits beyond the data must be zero.
    if ((pad == 1 && (v[2] & 3)) || (pad == 2 && (v[1] & 15))) return false;
    unsigned bits = (static_cast<unsigned>(v[0]) << 18) | (static_cast<unsigned>(v[1]) << 12) |
                    (static_cast<unsigned>(v[2]) << 6) | static_cast<unsigned>(v[3]);
    out->push_back(static_cast<char>((bits >> 16) & 0xFF));
    if (pad < 2) out->push_back(static_cast<char>((bits >> 8) & 0xFF));
    if (pad < 1) out->push_back(static_cast<char>(bits & 0xFF));
  }
  return true;
}

std::string key_path() { return sysutl_cmi_dir().str() + "/.cmi_key"; }

// The key's folder must be the user's own and closed to others (tightened when it is not); a
// folder of someone else could swap the key. 0, or -1 with errno naming the cause.
int key_folder_ready(bool create) {
  const std::string folder = sysutl_cmi_dir().str();
  const int code = fileutl_secure_dirs(folder.c_str(), folder.c_str(), 1, create ? 1 : 0, nullptr);
  if (code == FILEUTL_DIR_OK) return 0;
  if (code == FILEUTL_DIR_NOT_OWNED) errno = EPERM;
  if (code == FILEUTL_DIR_NOT_DIR) errno = ENOTDIR;
  return -1;
}

bool read_exact(int fd, unsigned char* buf, size_t len) {
  size_t got = 0;
  while (got < len) {
    ssize_t n = read(fd, buf + got, len - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// 0 when loaded; 1 when the file is missing; -1 when it is unreadable or not a key.
int load_key(const std::string& path, Secret* key) {
  KS_Fd fd(ks_system_files().Open(path.c_str(), O_RDONLY | O_NOFOLLOW, 0));
  if (fd.get() < 0) return errno == ENOENT ? 1 : -1;
  struct stat st;
  bool ok = fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) &&
            st.st_size == static_cast<off_t>(kKeyLen) && read_exact(fd.get(), key->bytes, kKeyLen);
  return ok ? 0 : -1;
}

// Creates the key file unless another process did so first; either way the key on disk wins.
int create_key(const std::string& path, Secret* key) {
  Secret fresh;
  if (RAND_bytes(fresh.bytes, static_cast<int>(kKeyLen)) != 1) return -1;
  std::string temp = path + ".new." + std::to_string(getpid());
  unlink(temp.c_str());  // a leftover of a crashed process with our pid
  KS_Fd fd(ks_system_files().Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600));
  if (fd.get() < 0) return -1;
  errno = 0;
  bool ok = write(fd.get(), fresh.bytes, kKeyLen) == static_cast<ssize_t>(kKeyLen) &&
            fsync(fd.get()) == 0;
  ok = fd.close() == 0 && ok;
  // link() never replaces an existing key: the loser of a race adopts the winner's key.
  if (ok && link(temp.c_str(), path.c_str()) != 0 && errno != EEXIST) ok = false;
  const int cause = errno != 0 ? errno : ENOSPC;  // a short write sets no errno
  unlink(temp.c_str());
  if (!ok) {
    errno = cause;
    return -1;
  }
  return load_key(path, key);
}

int seal(const std::string& plain, const Secret& key, std::string* stored) {
  unsigned char nonce[kNonceLen];
  if (RAND_bytes(nonce, static_cast<int>(kNonceLen)) != 1) return -1;
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return -1;
  std::string sealed(kNonceLen + plain.size() + kTagLen, '\0');
  unsigned char* out = reinterpret_cast<unsigned char*>(&sealed[0]);
  memcpy(out, nonce, kNonceLen);
  int len = 0;
  int fin = 0;
  if (EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceLen),
                          nullptr) != 1 ||
      EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, key.bytes, nonce) != 1 ||
      EVP_EncryptUpdate(ctx.get(), nullptr, &len, kAad, sizeof kAad) != 1 ||
      EVP_EncryptUpdate(ctx.get(), out + kNonceLen, &len,
                        reinterpret_cast<const unsigned char*>(plain.data()),
                        static_cast<int>(plain.size())) != 1 ||
      EVP_EncryptFinal_ex(ctx.get(), out + kNonceLen + len, &fin) != 1 ||
      static_cast<size_t>(len) + static_cast<size_t>(fin) != plain.size() ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, static_cast<int>(kTagLen),
                          out + kNonceLen + plain.size()) != 1)
    return -1;
  *stored = kPrefix + base64_encode(out, sealed.size());
  OPENSSL_cleanse(&sealed[0], sealed.size());
  return 0;
}

int unseal(const std::string& sealed, const Secret& key, std::string* plain) {
  if (sealed.size() < kNonceLen + kTagLen) return -1;
  const unsigned char* in = reinterpret_cast<const unsigned char*>(sealed.data());
  size_t body = sealed.size() - kNonceLen - kTagLen;
  unsigned char tag[kTagLen];
  memcpy(tag, in + kNonceLen + body, kTagLen);
  CipherCtx ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return -1;
  std::string out(body + 16, '\0');
  unsigned char* o = reinterpret_cast<unsigned char*>(&out[0]);
  int len = 0;
  int fin = 0;
  bool ok =
      EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, static_cast<int>(kNonceLen),
                          nullptr) == 1 &&
      EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, key.bytes, in) == 1 &&
      EVP_DecryptUpdate(ctx.get(), nullptr, &len, kAad, sizeof kAad) == 1 &&
      EVP_DecryptUpdate(ctx.get(), o, &len, in + kNonceLen, static_cast<int>(body)) == 1 &&
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, static_cast<int>(kTagLen), tag) == 1 &&
      EVP_DecryptFinal_ex(ctx.get(), o + len, &fin) == 1;
  if (ok) {
    out.resize(static_cast<size_t>(len) + static_cast<size_t>(fin));
    plain->swap(out);
  }
  OPENSSL_cleanse(&out[0], out.size());
  return ok ? 0 : -1;
}

}  // namespace

int strutl_extract_head(const char* text, char* out, int max) {
  if (!out || max < 0) return -1;
  out[0] = '\0';
  if (!text) return -1;
  try {
    std::string plain(text);
    // Refuse early what cannot fit: the stored form grows by a third plus a fixed overhead.
    size_t need = kPrefixLen + (kNonceLen + plain.size() + kTagLen + 2) / 3 * 4;
    if (need > static_cast<size_t>(max)) {
      OPENSSL_cleanse(&plain[0], plain.size());
      errno = EMSGSIZE;
      return 1;
    }
    std::string path = key_path();
    Secret key;
    int rc = key_folder_ready(true);
    if (rc == 0) rc = load_key(path, &key);
    if (rc == 1) rc = create_key(path, &key);
    std::string stored;
    if (rc == 0) rc = seal(plain, key, &stored);
    OPENSSL_cleanse(&plain[0], plain.size());
    if (rc != 0) return -1;
    if (stored.size() > static_cast<size_t>(max)) return 1;
    memcpy(out, stored.c_str(), stored.size() + 1);
    return 0;
  } catch (...) {
    return -1;
  }
}

int strutl_extract_tail(const char* stored, char* out, int max) {
  if (!out || max < 0) return -1;
  out[0] = '\0';
  if (!stored) return -1;
  try {
    size_t len = strlen(stored);
    if (len < kPrefixLen || memcmp(stored, kPrefix, kPrefixLen) != 0) return 1;
    std::string sealed;
    if (!base64_decode(stored + kPrefixLen, len - kPrefixLen, &sealed)) return 1;
    Secret key;
    // Never create a key here.
    if (key_folder_ready(false) != 0 || load_key(key_path(), &key) != 0) return 2;
    std::string plain;
    if (unseal(sealed, key, &plain) != 0) return 3;
    int rc = 0;
    if (plain.size() > static_cast<size_t>(max) || memchr(plain.data(), '\0', plain.size()))
      rc = 4;
    else
      memcpy(out, plain.c_str(), plain.size() + 1);
    if (!plain.empty()) OPENSSL_cleanse(&plain[0], plain.size());
    return rc;
  } catch (...) {
    return -1;
  }
}
