// CM_CommitCache: what one COMMIT may read once instead of at every request: the options its
// requests read and the session cookie's stored and plain forms. The engine of one COMMIT owns
// the only live instance (RAII); while none is alive, every caller reads afresh, as before. Not
// thread-safe: the host calls one operation at a time. Internal to the library.
#ifndef CM_PROVIDER_CM_COMMIT_CACHE_H
#define CM_PROVIDER_CM_COMMIT_CACHE_H

#include <map>
#include <string>

class CM_CommitCache {
 public:
  // Becomes the live cache unless one is live already (then this one stays idle).
  CM_CommitCache();
  ~CM_CommitCache();
  CM_CommitCache(const CM_CommitCache&) = delete;
  CM_CommitCache& operator=(const CM_CommitCache&) = delete;

  // The live cache, or null outside a COMMIT.
  static CM_CommitCache* live();

  // A CurrentUser option (TAPIR_<NAME> first), empty when unset; read once per live cache.
  static std::string option(const char* name);

  // The stored text last read from or written to a cookie file.
  bool find_stored_cookie(const std::string& path, std::string& stored) const;
  void keep_stored_cookie(const std::string& path, const std::string& stored);
  // The plain form of a stored cookie text.
  bool find_plain_cookie(const std::string& stored, std::string& plain) const;
  void keep_plain_cookie(const std::string& stored, const std::string& plain);

 private:
  bool m_live = false;
  std::map<std::string, std::string> m_options;
  std::map<std::string, std::string> m_stored_cookies;  // by file path
  std::map<std::string, std::string> m_plain_cookies;   // by stored text
};

#endif
