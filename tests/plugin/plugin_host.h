// Test-side host: loads the built plug-in with dlopen exactly as a host product would and wraps
// the five operations so that every reply is copied and released with cm_freereply. Header-only;
// used by the tests under tests/plugin and tests/tools and by the benchmarks.
#ifndef TESTS_PLUGIN_PLUGIN_HOST_H
#define TESTS_PLUGIN_PLUGIN_HOST_H

#include <cm_plugin.h>
#include <dlfcn.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace cmtest {

struct Reply {
  std::int32_t rc = 0;
  std::string text;
  bool was_null = false;  // the plug-in stored no reply at all
  nlohmann::json json() const { return nlohmann::json::parse(text, nullptr, false); }
  // A string member of the reply object, or "<none>".
  std::string member(const char* key) const {
    auto j = json();
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>()
                                                                  : std::string("<none>");
  }
  std::string status() const { return member("status_code"); }
};

class PluginHost {
 public:
  explicit PluginHost(const char* path = CM_PLUGIN_PATH)
      : m_lib(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    m_get =
        m_lib ? reinterpret_cast<void* (*)(const char*)>(dlsym(m_lib, "cm_getfunction")) : nullptr;
    m_free = m_lib ? reinterpret_cast<void (*)(char*)>(dlsym(m_lib, "cm_freereply")) : nullptr;
    if (!m_get) return;
    m_init = reinterpret_cast<CM_InitFunction>(m_get("INITIALIZE"));
    m_assoc = reinterpret_cast<CM_OpFunction>(m_get("ASSOCIATE"));
    m_disassoc = reinterpret_cast<CM_OpFunction>(m_get("DISASSOCIATE"));
    m_commit = reinterpret_cast<CM_OpFunction>(m_get("COMMIT"));
    m_validate = reinterpret_cast<CM_OpFunction>(m_get("VALIDATE"));
  }
  ~PluginHost() {
    if (m_lib) dlclose(m_lib);
  }
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  bool ok() const { return m_free && m_init && m_assoc && m_disassoc && m_commit && m_validate; }
  std::string error() const {
    const char* e = dlerror();
    return e ? e : "plug-in incomplete";
  }
  void* getfunction(const char* name) const { return m_get(name); }

  Reply initialize(const std::string& request, void** handle) {
    return take([&](char** r) { return m_init(handle, request.c_str(), r); });
  }
  // Returns the handle; null on failure.
  void* init(const std::string& request, Reply* out = nullptr) {
    void* h = reinterpret_cast<void*>(0x1);
    Reply r = initialize(request, &h);
    if (out) *out = r;
    return h;
  }
  Reply associate(void* h, const std::string& req) { return op(m_assoc, h, req); }
  Reply disassociate(void* h, const std::string& req) { return op(m_disassoc, h, req); }
  Reply commit(void* h, const std::string& req = "") { return op(m_commit, h, req); }
  Reply validate(void* h, const std::string& req = "") { return op(m_validate, h, req); }

 private:
  template <typename F>
  Reply take(F call) {
    Reply r;
    char* text = nullptr;
    r.rc = call(&text);
    r.was_null = text == nullptr;
    if (text) r.text = text;
    m_free(text);
    return r;
  }
  Reply op(CM_OpFunction fn, void* h, const std::string& req) {
    return take([&](char** r) { return fn(h, req.c_str(), r); });
  }

  void* m_lib = nullptr;
  void* (*m_get)(const char*) = nullptr;
  void (*m_free)(char*) = nullptr;
  CM_InitFunction m_init = nullptr;
  CM_OpFunction m_assoc = nullptr, m_disassoc = nullptr, m_commit = nullptr, m_validate = nullptr;
};

// Request texts.
inline std::string init_request(const std::string& name, const std::string& base_url,
                                const std::string& userdb = "DB1", const std::string& dbset = "S1",
                                int trace_level = 0, const std::string& subsystems = "") {
  nlohmann::json j = {
      {"providername", name}, {"baseurl", base_url}, {"dbset", dbset}, {"userdb", userdb}};
  if (trace_level) {
    j["tracelevel"] = std::to_string(trace_level);
    j["tracesubsystem"] = subsystems;
  }
  return j.dump();
}

inline std::string change_request(const std::string& selector, const std::string& name,
                                  const std::string& record) {
  nlohmann::json j = {{"twversion", {{"universal_selector", selector}, {"display_name", name}}},
                      {"cmtask", {{"taskid", record}}}};
  return j.dump();
}

}  // namespace cmtest

#endif
