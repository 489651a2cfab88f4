#include <cm_version_info.h>

CM_VersionInfo::CM_VersionInfo() = default;

CM_VersionInfo::CM_VersionInfo(const SUM_String& name) : m_name(name) {}

CM_VersionInfo::CM_VersionInfo(const CM_VersionInfo& other) : m_name(other.m_name) {}

CM_VersionInfo& CM_VersionInfo::operator=(const CM_VersionInfo& other) {
  if (this != &other) m_name = other.m_name;
  return *this;
}

CM_VersionInfo::~CM_VersionInfo() = default;

SUM_String CM_VersionInfo::GetName() const { return m_name; }

void CM_VersionInfo::SetName(const SUM_String& name) { m_name = name; }

int CM_VersionInfo::operator==(const CM_VersionInfo& other) const {
  return m_name.Compare(other.m_name) == 0 ? 1 : 0;
}

int CM_VersionInfo::operator!=(const CM_VersionInfo& other) const { return *this == other ? 0 : 1; }

bool CM_VersionInfo::is_null() const { return m_name.GetLength() == 0; }
