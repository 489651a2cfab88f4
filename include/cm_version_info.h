// CM_VersionInfo: a named version record (the title of one version link). Exported for the host's
// tools; a plain value type, owned by whoever holds it. Any caller may use it.
#ifndef CM_VERSION_INFO_H
#define CM_VERSION_INFO_H

#include "cm_export.h"
#include "sum_string.h"

class CM_EXPORT CM_VersionInfo {
 public:
  CM_VersionInfo();
  explicit CM_VersionInfo(const SUM_String& name);
  CM_VersionInfo(const CM_VersionInfo& other);
  CM_VersionInfo& operator=(const CM_VersionInfo& other);
  virtual ~CM_VersionInfo();

  SUM_String GetName() const;
  void SetName(const SUM_String& name);

  // 1 when both names are equal byte for byte (case-sensitive), else 0.
  int operator==(const CM_VersionInfo& other) const;
  int operator!=(const CM_VersionInfo& other) const;

 private:
  bool is_null() const;

  SUM_String m_name;
};

#endif
