#include "cmi_host.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// Without --plugin or CMI_PLUGIN, cmi drives the very library it is linked with (next to it in a
// build tree, in the library folder of an installed tree): a second copy loaded from elsewhere
// would give the process two provider registries.
std::string linked_plugin_path() {
  Dl_info info;
  void* own = dlsym(RTLD_DEFAULT, CM_PRINT_VERID_SYMBOL);
  if (own && dladdr(own, &info) && info.dli_fname && *info.dli_fname) return info.dli_fname;
  char exe[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n <= 0) return "libcmmrv1_0.so";
  exe[n] = '\0';
  const std::string path(exe);
  return path.substr(0, path.rfind('/')) + "/libcmmrv1_0.so";
}

const char kHowToChoose[] =
    "choose the plug-in with --plugin PATH or the environment variable CMI_PLUGIN=PATH";

}  // namespace

CmiPlugin::~CmiPlugin() {
  if (m_lib) dlclose(m_lib);
}

bool CmiPlugin::load(const std::string& explicit_path) {
  const char* env = std::getenv("CMI_PLUGIN");
  const char* origin = "the library cmi is linked with";
  if (!explicit_path.empty()) {
    m_path = explicit_path;
    origin = "from --plugin";
  } else if (env && *env) {
    m_path = env;
    origin = "from CMI_PLUGIN";
  } else {
    m_path = linked_plugin_path();
  }
  // dlopen searches the library path for a bare name; a user naming a file means that file.
  std::string open_path = m_path;
  if (open_path.find('/') == std::string::npos) open_path = "./" + open_path;
  m_lib = dlopen(open_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!m_lib) {
    const char* why = dlerror();
    m_error = "cannot load the plug-in " + m_path + " (" + origin +
              "): " + (why ? why : "unknown error") + "\n" + kHowToChoose;
    return false;
  }
  m_getfunction = reinterpret_cast<void* (*)(const char*)>(dlsym(m_lib, CM_GETFUNCTION_SYMBOL));
  m_freereply = reinterpret_cast<void (*)(char*)>(dlsym(m_lib, CM_FREEREPLY_SYMBOL));
  if (!m_getfunction || !m_freereply) {
    m_error = m_path +
              " is not a change-management plug-in (no " CM_GETFUNCTION_SYMBOL
              " or " CM_FREEREPLY_SYMBOL ")\n" +
              kHowToChoose;
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
