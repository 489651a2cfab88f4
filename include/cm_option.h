// CM_Option: one named setting of the tool family, read from the environment override
// (TAPIR_<NAME>) or the settings store hive chosen by location, and written to that hive.
// Exported for the host's tools; a plain value object owned by its creator. Never reports errors.
#ifndef CM_OPTION_H
#define CM_OPTION_H

#include <cstdint>

#include "cm_export.h"
#include "sum_string.h"

class CM_EXPORT CM_Option {
 public:
  enum LocationType : std::int32_t { CurrentUser = 0, LocalMachine = 1 };

  CM_Option(LocationType location, const SUM_String& name);
  CM_Option(const CM_Option& other);
  CM_Option& operator=(const CM_Option& other);
  virtual ~CM_Option();

  // out = the environment override if set (even empty), else the stored value, else def.
  void GetValue(const SUM_String& def, SUM_String& out) const;
  // Writes the value to the hive of this option's location; failures are silent.
  void SetValue(const SUM_String& value);

  LocationType GetLocation() const { return m_location; }
  SUM_String GetOptionName() const { return m_name; }

 private:
  LocationType m_location;
  SUM_String m_name;
};

#endif
