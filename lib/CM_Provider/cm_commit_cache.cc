#include "CM_Provider/cm_commit_cache.h"

#include "cm_option.h"

namespace {

CM_CommitCache* g_live = nullptr;

}  // namespace

CM_CommitCache::CM_CommitCache() {
  if (g_live != nullptr) return;
  g_live = this;
  m_live = true;
}

CM_CommitCache::~CM_CommitCache() {
  if (m_live) g_live = nullptr;
}

CM_CommitCache* CM_CommitCache::live() { return g_live; }

std::string CM_CommitCache::option(const char* name) {
  CM_CommitCache* cache = g_live;
  if (cache != nullptr) {
    auto it = cache->m_options.find(name);
    if (it != cache->m_options.end()) return it->second;
  }
  CM_Option option(CM_Option::CurrentUser, SUM_String(name));
  SUM_String value;
  option.GetValue(SUM_String(""), value);
  if (cache != nullptr) cache->m_options[name] = value.str();
  return value.str();
}

bool CM_CommitCache::find_stored_cookie(const std::string& path, std::string& stored) const {
  auto it = m_stored_cookies.find(path);
  if (it == m_stored_cookies.end()) return false;
  stored = it->second;
  return true;
}

void CM_CommitCache::keep_stored_cookie(const std::string& path, const std::string& stored) {
  m_stored_cookies[path] = stored;
}

bool CM_CommitCache::find_plain_cookie(const std::string& stored, std::string& plain) const {
  auto it = m_plain_cookies.find(stored);
  if (it == m_plain_cookies.end()) return false;
  plain = it->second;
  return true;
}

void CM_CommitCache::keep_plain_cookie(const std::string& stored, const std::string& plain) {
  m_plain_cookies[stored] = plain;
}
