// Test-side host: loads the built plug-in with dlopen as a host product would; every reply is
// copied and released with cm_freereply. Used by the plug-in and tool tests and the benchmarks.
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
  nlohmann::json json() const { return nlohmann::json::parse(text, nullptr, false); }
  // A string member of the reply object, or "<none>".
  std::string member(const char* key) const {
    const auto j = json();
    return j.is_object() && j.contains(key) && j[key].is_string() ? j[key].get<std::string>()
                                                                  : "<none>";
  }
  std::string status() const { return member("status_code"); }
};

class PluginHost {
 public:
  explicit PluginHost(const char* path = CM_PLUGIN_PATH)
      : m_lib(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
    if (!m_lib) return;
    CM_ASSIGN_FUNCTION(m_get, dlsym(m_lib, CM_GETFUNCTION_SYMBOL));
    CM_ASSIGN_FUNCTION(m_free, dlsym(m_lib, CM_FREEREPLY_SYMBOL));
  }
  ~PluginHost() {
    if (m_lib) dlclose(m_lib);
  }
  PluginHost(const PluginHost&) = delete;
  PluginHost& operator=(const PluginHost&) = delete;

  bool ok() const {
    if (!m_get || !m_free) return false;
    for (const char* name : {"INITIALIZE", "ASSOCIATE", "DISASSOCIATE", "COMMIT", "VALIDATE"})
      if (!m_get(name)) return false;
    return true;
  }
  std::string error() const {
    const char* e = dlerror();
    return e ? e : "plug-in incomplete";
  }
  void* getfunction(const char* name) const { return m_get(name); }

  Reply initialize(const std::string& request, void** handle) {
    return call<CM_InitFunction>("INITIALIZE", handle, request);
  }
  // Returns the handle; null on failure.
  void* init(const std::string& request, Reply* out = nullptr) {
    void* h = reinterpret_cast<void*>(0x1);
    const Reply r = initialize(request, &h);
    if (out) *out = r;
    return h;
  }
  Reply associate(void* h, const std::string& req) { return op("ASSOCIATE", h, req); }
  Reply disassociate(void* h, const std::string& req) { return op("DISASSOCIATE", h, req); }
  Reply commit(void* h, const std::string& req = "") { return op("COMMIT", h, req); }
  Reply validate(void* h, const std::string& req = "") { return op("VALIDATE", h, req); }

 private:
  template <typename Fn, typename First>
  Reply call(const char* name, First first, const std::string& req) {
    Fn fn;
    CM_ASSIGN_FUNCTION(fn, m_get(name));
    Reply r;
    char* text = nullptr;
    r.rc = fn(first, req.c_str(), &text);
    if (text) r.text = text;
    m_free(text);
    return r;
  }
  Reply op(const char* name, void* h, const std::string& req) {
    return call<CM_OpFunction>(name, h, req);
  }

  void* m_lib = nullptr;
  CM_GetFunction m_get = nullptr;
  CM_FreeReplyFunction m_free = nullptr;
};

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
  return nlohmann::json{{"twversion", {{"universal_selector", selector}, {"display_name", name}}},
                        {"cmtask", {{"taskid", record}}}}
      .dump();
}

}  // namespace cmtest

#endif
