// Name types of the XML layer.
#include "CM_Provider/CM_Oslc/cm_xml_names.h"

const SUM_String XMLNS_URI("http://www.w3.org/2000/xmlns/");

CM_XmlNamespace::CM_XmlNamespace() = default;

CM_XmlNamespace::CM_XmlNamespace(const SUM_String& prefix, const SUM_String& uri)
    : m_prefix(prefix), m_uri(uri) {}

bool CM_XmlNamespace::IsNil() const { return m_prefix.GetLength() == 0 && m_uri.GetLength() == 0; }

bool CM_XmlNamespace::operator==(const CM_XmlNamespace& other) const {
  return m_prefix == other.m_prefix && m_uri == other.m_uri;
}

CM_XmlTag::CM_XmlTag() = default;

CM_XmlTag::CM_XmlTag(const CM_XmlNamespace& ns, const SUM_String& name) : m_ns(ns), m_name(name) {}

bool CM_XmlTag::IsNil() const { return m_name.GetLength() == 0 && m_ns.IsNil(); }

bool CM_XmlTag::operator==(const CM_XmlTag& other) const {
  return m_name == other.m_name && m_ns.URI() == other.m_ns.URI();
}

SUM_String CM_XmlTag::QualifiedName() const {
  const SUM_String& prefix = m_ns.Prefix();
  if (prefix.GetLength() == 0) return m_name;
  SUM_String name(prefix);
  name += ":";
  name += m_name;
  return name;
}
