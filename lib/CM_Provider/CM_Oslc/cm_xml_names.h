// The XML layer's name types (its status codes are in cm_status.h): CM_XmlNamespace (prefix and
// URI), CM_XmlTag (namespace and local name) and the reserved namespace of "xmlns" declarations.
// Plain values, no Xerces; any module may use them.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_NAMES_H
#define CM_PROVIDER_CM_OSLC_CM_XML_NAMES_H

#include <sum_string.h>
#include "CM_Provider/cm_status.h"

// The namespace of "xmlns" declaration attributes.
extern const SUM_String XMLNS_URI;

// A namespace: prefix and URI. Nil when both are empty; equal when both parts are equal.
class CM_XmlNamespace {
 public:
  CM_XmlNamespace();
  CM_XmlNamespace(const SUM_String& prefix, const SUM_String& uri);

  bool IsNil() const;
  bool operator==(const CM_XmlNamespace& other) const;
  bool operator!=(const CM_XmlNamespace& other) const { return !(*this == other); }

  const SUM_String& Prefix() const { return m_prefix; }
  const SUM_String& URI() const { return m_uri; }

 private:
  SUM_String m_prefix;
  SUM_String m_uri;
};

// An XML name: namespace plus local name. Equality compares namespace URI and local name only,
// because documents may bind any prefix to a namespace.
class CM_XmlTag {
 public:
  CM_XmlTag();
  CM_XmlTag(const CM_XmlNamespace& ns, const SUM_String& name);

  bool IsNil() const;
  bool operator==(const CM_XmlTag& other) const;
  bool operator!=(const CM_XmlTag& other) const { return !(*this == other); }

  // "prefix:name", or the local name alone when the prefix is empty.
  SUM_String QualifiedName() const;
  const SUM_String& Prefix() const { return m_ns.Prefix(); }
  const SUM_String& URI() const { return m_ns.URI(); }
  const SUM_String& Name() const { return m_name; }
  const CM_XmlNamespace& Namespace() const { return m_ns; }

 private:
  CM_XmlNamespace m_ns;
  SUM_String m_name;
};

// Where a record sits in an answer (description / member / record below the document element)
// and the name of a description's title. Filled by the vocabulary;
// the XML layer itself knows none.
struct CM_XmlRecordShape {
  CM_XmlTag description;
  CM_XmlTag member;
  CM_XmlTag record;
  CM_XmlTag title;
};

#endif
