#include <cm_option.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ks/ks.h"
#include "platform/nt/nt.h"

namespace {

const char kEnvPrefix[] = "TAPIR_";
const char kKeyLeaf[] = "/Tarnwell Tapir";
constexpr int kNameMax = 255;
constexpr int kValueBufferSize = 128;

std::string key_path() { return std::string(ntregy_get_common_key()) + kKeyLeaf; }

int hive_of(CM_Option::LocationType location) {
  return location == CM_Option::CurrentUser ? NTREGY_CURRENT_USER : NTREGY_LOCAL_MACHINE;
}

// The plug-in's own options (CMI_*) are a policy an administrator may set once for the machine.
bool falls_back_to_machine(const char* upper_name) {
  return std::strncmp(upper_name, "CMI_", 4) == 0;
}

// The stored value of one hive into out; false when it has none.
bool read_hive(int hive, const char* name, SUM_String& out) {
  char buf[kValueBufferSize];
  buf[0] = '\0';
  ntregy_key key = nullptr;
  if (ntregy_get_value(hive, key_path().c_str(), name, buf, kValueBufferSize, &key) != 0)
    return false;
  buf[kValueBufferSize - 1] = '\0';
  out = buf;
  ntregy_close_key(key);
  return true;
}

}  // namespace

CM_Option::CM_Option(LocationType location, const SUM_String& name)
    : m_location(location), m_name(name) {}

CM_Option::CM_Option(const CM_Option& other) = default;
CM_Option& CM_Option::operator=(const CM_Option& other) = default;
CM_Option::~CM_Option() = default;

void CM_Option::GetValue(const SUM_String& def, SUM_String& out) const {
  try {
    out = def;
    char upper[kNameMax + 1];
    upper[0] = '\0';
    strutl_cvt_case_string(m_name.c_str(), 1, kNameMax, upper);
    upper[kNameMax] = '\0';
    const std::string variable = std::string(kEnvPrefix) + upper;
    if (const char* env = std::getenv(variable.c_str())) {
      out = env;
      return;
    }
    if (read_hive(hive_of(m_location), m_name.c_str(), out)) return;
    if (m_location == CurrentUser && falls_back_to_machine(upper))
      read_hive(NTREGY_LOCAL_MACHINE, m_name.c_str(), out);
  } catch (...) {
    // Options never report failures: whatever was assigned last stands.
  }
}

void CM_Option::SetValue(const SUM_String& value) {
  try {
    ntregy_key key = nullptr;
    if (ntregy_create_value(hive_of(m_location), key_path().c_str(), m_name.c_str(), value.c_str(),
                            value.GetLength(), 1, &key) == 0) {
      ntregy_close_key(key);
    }
  } catch (...) {
  }
}
