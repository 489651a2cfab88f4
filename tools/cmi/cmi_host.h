// CmiPlugin: cmi's stand-in for the host product. It loads the plug-in with dlopen (from
// --plugin PATH, else $CMI_PLUGIN, else the libcmmrv1_0.so cmi is linked with), resolves the five
// operations through cm_getfunction, and copies every reply into a std::string before releasing
// it with cm_freereply. Owns the dlopen handle. Used by the cmi commands only.
#ifndef TOOLS_CMI_CMI_HOST_H
#define TOOLS_CMI_CMI_HOST_H

#include <cstdint>
#include <string>

#include <cm_plugin.h>

class CmiPlugin {
 public:
  CmiPlugin() = default;
  ~CmiPlugin();
  CmiPlugin(const CmiPlugin&) = delete;
  CmiPlugin& operator=(const CmiPlugin&) = delete;

  // explicit_path: the --plugin value, or empty. False (with error() set) when the library or
  // one of its functions cannot be found.
  bool load(const std::string& explicit_path);
  const std::string& error() const { return m_error; }
  const std::string& path() const { return m_path; }

  // Runs one operation by name. False when the plug-in has no such operation; otherwise *rc and
  // *reply hold the return value and the reply text ("" when the plug-in gave none).
  bool call(const std::string& op, void** handle, const std::string& request, std::int32_t* rc,
            std::string* reply);
  void* symbol(const char* name) const;

 private:
  void* m_lib = nullptr;
  void* (*m_getfunction)(const char*) = nullptr;
  void (*m_freereply)(char*) = nullptr;
  std::string m_path;
  std::string m_error;
};

#endif
