#include "cmi_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace {

std::string default_plugin_path() {
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "libcmmrv1_0.so";
  exe[n] = '\0';
  std::string dir(exe);
  const size_t slash = dir.rfind('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  return dir + "/libcmmrv1_0.so";
}

}  // namespace

CmiPlugin::~CmiPlugin() {
  if (m_lib) dlclose(m_lib);
}

bool CmiPlugin::load(const std::string& explicit_path) {
  if (!explicit_path.empty()) {
    m_path = explicit_path;
  } else if (const char* env = std::getenv("CMI_PLUGIN"); env && *env) {
    m_path = env;
  } else {
    m_path = default_plugin_path();
  }
  // dlopen searches the library path for a bare name; a user naming a file means that file.
  std::string open_path = m_path;
  if (open_path.find('/') == std::string::npos) open_path = "./" + open_path;
  m_lib = dlopen(open_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_lib) {
    const char* why = dlerror();
    m_error = "cannot load the plug-in " + m_path + ": " + (why ? why : "unknown error");
    return false;
  }
  m_getfunction = reinterpret_cast<void* (*)(const char*)>(dlsym(m_lib, CM_GETFUNCTION_SYMBOL));
  m_freereply = reinterpret_cast<void (*)(char*)>(dlsym(m_lib, CM_FREEREPLY_SYMBOL));
  if (!m_getfunction || !m_freereply) {
    m_error = m_path + " is not a change-management plug-in (no " CM_GETFUNCTION_SYMBOL
                       " or " CM_FREEREPLY_SYMBOL ")";
    dlclose(m_lib);
    m_lib = nullptr;
    return false;
  }
  return true;
}

void* CmiPlugin::symbol(const char* name) const { return m_lib ? dlsym(m_lib, name) : nullptr; }

bool CmiPlugin::call(const std::string& op, void** handle, const std::string& request,
                     std::int32_t* rc, std::string* reply) {
  void* fn = m_getfunction ? m_getfunction(op.c_str()) : nullptr;
  if (!fn) return false;
  char* text = nullptr;
  if (op == "INITIALIZE") {
    *rc = reinterpret_cast<CM_InitFunction>(fn)(handle, request.c_str(), &text);
  } else {
    *rc = reinterpret_cast<CM_OpFunction>(fn)(*handle, request.c_str(), &text);
  }
  reply->assign(text ? text : "");
  m_freereply(text);
  return true;
}
