// CM_XmlDescriptionIndex: the RDF descriptions of a parsed answer (the descendants of one element
// with a given qualified name, in document order) and, for each rdf:about value, the first of
// them that carries it, so that finding the description of every link of a record costs O(links).
// Points into the parser's document: valid while that CM_XmlParser lives. Built by the record read
// and by CM_XmlElem::get_rdf_description_nodes; one thread at a time; nothing throws.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_INDEX_H
#define CM_PROVIDER_CM_OSLC_CM_XML_INDEX_H

#include <xercesc/util/XercesDefs.hpp>

#include <string_view>
#include <unordered_map>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_names.h"
#include "sum_string.h"

XERCES_CPP_NAMESPACE_BEGIN
class DOMElement;
XERCES_CPP_NAMESPACE_END

class CM_XmlDescriptionIndex {
 public:
  // Collects the descendants of root whose qualified name is qualified_name (written names, not
  // namespace-aware, as DOM getElementsByTagName). 0, or the failure to convert the name.
  int Build(const XERCES_CPP_NAMESPACE::DOMElement* root, const SUM_String& qualified_name);

  int Count() const { return static_cast<int>(m_nodes.size()); }
  XERCES_CPP_NAMESPACE::DOMElement* At(int i) const { return m_nodes[static_cast<size_t>(i)]; }
  // Position of the first description whose rdf:about is exactly about; -1 when none.
  int Find(const XMLCh* about) const;
  // Position of the first description whose rdf:about the native code page cannot hold, with the
  // conversion's status; -1 when every one converts. Computed on first use.
  int FirstUnconvertible(int& status) const;

  // The attribute the index is keyed by.
  static const XMLCh* AboutName();

 private:
  std::vector<XERCES_CPP_NAMESPACE::DOMElement*> m_nodes;
  // Keys point into the document's own attribute values.
  std::unordered_map<std::u16string_view, int> m_first;
  mutable int m_unconvertible = -2;  // -2: not yet looked for
  mutable int m_unconvertible_status = 0;
};

#endif
