#include "CM_Provider/cm_commit_cache.h"

#include <cm_option.h>
#include <openssl/crypto.h>

namespace {

CM_CommitCache* g_live = nullptr;

bool find_in(const std::map<std::string, std::string>& map, const std::string& key,
             std::string& value) {
  auto it = map.find(key);
  if (it == map.end()) return false;
  value = it->second;
  return true;
}

}  // namespace

CM_CommitCache::CM_CommitCache() {
  if (g_live != nullptr) return;
  g_live = this;
  m_live = true;
}

CM_CommitCache::~CM_CommitCache() {
  if (m_live) g_live = nullptr;
  // Plain session cookies are secrets: leave none behind in freed memory.
  for (auto& entry : m_plain_cookies) {
    if (!entry.second.empty()) OPENSSL_cleanse(&entry.second[0], entry.second.size());
  }
}

CM_CommitCache* CM_CommitCache::live() { return g_live; }

std::string CM_CommitCache::option(const char* name) {
  CM_CommitCache* cache = g_live;
  std::string value;
  if (cache != nullptr && find_in(cache->m_options, name, value)) return value;
  CM_Option option(CM_Option::CurrentUser, SUM_String(name));
  SUM_String read;
  option.GetValue(SUM_String(""), read);
  if (cache != nullptr) cache->m_options[name] = read.str();
  return read.str();
}

bool CM_CommitCache::find_stored_cookie(const std::string& path, std::string& stored) const {
  return find_in(m_stored_cookies, path, stored);
}

void CM_CommitCache::keep_stored_cookie(const std::string& path, const std::string& stored) {
  m_stored_cookies[path] = stored;
}

bool CM_CommitCache::find_plain_cookie(const std::string& stored, std::string& plain) const {
  return find_in(m_plain_cookies, stored, plain);
}

void CM_CommitCache::keep_plain_cookie(const std::string& stored, const std::string& plain) {
  m_plain_cookies[stored] = plain;
}
