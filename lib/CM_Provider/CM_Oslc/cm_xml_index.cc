// The description index.
#include "CM_Provider/CM_Oslc/cm_xml_index.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/XMLString.hpp>

#include "CM_Provider/CM_Oslc/cm_xml_report.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// RDF/XML spells the identity of a description this way; the lookup is literal, like the
// element names it is used with.
const XMLCh kAbout[] = u"rdf:about";

std::u16string_view view(const XMLCh* text) {
  return text != nullptr ? std::u16string_view(text) : std::u16string_view();
}

}  // namespace

const XMLCh* CM_XmlDescriptionIndex::AboutName() { return kAbout; }

int CM_XmlDescriptionIndex::Build(const DOMElement* root, const SUM_String& qualified_name) {
  m_nodes.clear();
  m_first.clear();
  m_unconvertible = -2;
  CM_XmlText name;
  int rc = name.Convert(qualified_name);
  if (rc != 0) return rc;
  try {
    // Document order, as getElementsByTagName gives it, without the cost of its live list.
    const DOMNode* node = root != nullptr ? root->getFirstChild() : nullptr;
    while (node != nullptr) {
      if (node->getNodeType() == DOMNode::ELEMENT_NODE &&
          XMLString::equals(node->getNodeName(), name.get())) {
        auto* element = const_cast<DOMElement*>(static_cast<const DOMElement*>(node));
        // The first description with a given about wins, as a search in document order would.
        m_first.emplace(view(element->getAttribute(kAbout)), static_cast<int>(m_nodes.size()));
        m_nodes.push_back(element);
      }
      if (const DOMNode* child = node->getFirstChild()) {
        node = child;
        continue;
      }
      while (node != nullptr && node != root && node->getNextSibling() == nullptr)
        node = node->getParentNode();
      node = node != nullptr && node != root ? node->getNextSibling() : nullptr;
    }
  } catch (const DOMException& e) {
    cm_xml_report(e);
    m_nodes.clear();
    m_first.clear();
    return CM_XML_REPORTED;
  } catch (...) {
    cm_xml_report_unknown();
    m_nodes.clear();
    m_first.clear();
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlDescriptionIndex::Find(const XMLCh* about) const {
  auto hit = m_first.find(view(about));
  return hit != m_first.end() ? hit->second : -1;
}

int CM_XmlDescriptionIndex::FirstUnconvertible(int& status) const {
  if (m_unconvertible == -2) {
    m_unconvertible = -1;
    SUM_String value;
    for (int i = 0; i < Count() && m_unconvertible < 0; ++i) {
      m_unconvertible_status = xmlch_to_native(At(i)->getAttribute(kAbout), value, 1);
      if (m_unconvertible_status != 0) m_unconvertible = i;
    }
  }
  status = m_unconvertible_status;
  return m_unconvertible;
}
