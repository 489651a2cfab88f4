// Navigation over the DOM of a parsed response.
#include "CM_Provider/CM_Oslc/cm_xml_util.h"

#include <xercesc/dom/DOM.hpp>

#include <memory>
#include <new>
#include <string>

#include "CM_Provider/CM_Oslc/cm_xml_index.h"
#include "CM_Provider/CM_Oslc/cm_xml_report.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kTag[] = "CMOSLC";
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_util";

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

const DOMNode* next_element(const DOMNode* node) {
  while (node != nullptr && node->getNodeType() != DOMNode::ELEMENT_NODE) {
    node = node->getNextSibling();
  }
  return node;
}

DOMElement* as_element(const DOMNode* node) {
  return const_cast<DOMElement*>(static_cast<const DOMElement*>(node));
}

// Tag of an element or attribute: prefix, namespace URI, local name, converted in that order.
int node_tag(const DOMNode* node, CM_XmlTag& out) {
  if (node == nullptr) {
    out = CM_XmlTag();
    return 0;
  }
  SUM_String prefix;
  SUM_String uri;
  SUM_String name;
  int rc = xmlch_to_native(node->getPrefix(), prefix, 0);
  if (rc != 0) return rc;
  rc = xmlch_to_native(node->getNamespaceURI(), uri, 0);
  if (rc != 0) return rc;
  const XMLCh* local = node->getLocalName();
  // Nodes made without namespaces (by the document builder) carry only a node name.
  rc = xmlch_to_native(local != nullptr ? local : node->getNodeName(), name, 0);
  if (rc != 0) return rc;
  out = CM_XmlTag(CM_XmlNamespace(prefix, uri), name);
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CM_XmlElem

CM_XmlElem::CM_XmlElem() { CM_TraceScope trace(kTag, "CM_XmlElem", "CM_XmlElem"); }

CM_XmlElem::CM_XmlElem(DOMElement* elem) : m_parser_elem_node(elem) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "CM_XmlElem(DOMElement)");
}

CM_XmlElem::~CM_XmlElem() { CM_TraceScope trace(kTag, "CM_XmlElem", "~CM_XmlElem"); }

int CM_XmlElem::Tag(CM_XmlTag& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "Tag");
  return node_tag(m_parser_elem_node, out);
}

int CM_XmlElem::Data(SUM_String& out, int quiet) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "Data");
  try {
    const DOMNode* first =
        m_parser_elem_node != nullptr ? m_parser_elem_node->getFirstChild() : nullptr;
    if (first != nullptr && (first->getNodeType() == DOMNode::TEXT_NODE ||
                             first->getNodeType() == DOMNode::CDATA_SECTION_NODE)) {
      const XMLCh* value = first->getNodeValue();
      if (value != nullptr && value[0] != 0) return xmlch_to_native(value, out, quiet);
    }
  } catch (const DOMException& e) {
    cm_xml_report(e);
    return CM_XML_REPORTED;
  }
  out.Empty();
  return 0;
}

int CM_XmlElem::TextContent(SUM_String& out, int quiet) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "TextContent");
  out.Empty();
  if (m_parser_elem_node == nullptr) return CM_XML_NOT_FOUND;
  try {
    std::basic_string<XMLCh> text;
    for (const DOMNode* node = m_parser_elem_node->getFirstChild(); node != nullptr;
         node = node->getNextSibling()) {
      switch (node->getNodeType()) {
        case DOMNode::TEXT_NODE:
        case DOMNode::CDATA_SECTION_NODE:
          if (const XMLCh* value = node->getNodeValue()) text += value;
          break;
        case DOMNode::COMMENT_NODE:
        case DOMNode::PROCESSING_INSTRUCTION_NODE:
          break;
        default:
          return CM_XML_NOT_FOUND;
      }
    }
    if (text.empty()) return 0;
    return xmlch_to_native(text.c_str(), out, quiet);
  } catch (const DOMException& e) {
    cm_xml_report(e);
    return CM_XML_REPORTED;
  } catch (const std::bad_alloc&) {
    return CM_XML_REPORTED;
  }
}

int CM_XmlElem::OptChild(const CM_XmlTag& tag, CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptChild");
  if (m_parser_elem_node == nullptr) {
    trace.print(5, "m_parser_elem_node is NULL!");
    return CM_XML_NOT_FOUND;
  }
  const SUM_String& want_uri = tag.URI();
  const SUM_String& want_name = tag.Name();
  // Reused across children so that a long walk does not allocate per node.
  SUM_String child_ns;
  SUM_String child_name;
  for (const DOMNode* node = m_parser_elem_node->getFirstChild(); node != nullptr;
       node = node->getNextSibling()) {
    trace.print(5, "Skip elements");
    if (node->getNodeType() != DOMNode::ELEMENT_NODE) {
      trace.print(5, "Not element");
      continue;
    }
    trace.print(5, "Getting name space URI");
    int rc = xmlch_to_native(node->getNamespaceURI(), child_ns, 0);
    if (rc != 0) {
      trace.print(5, "Error getting child_ns");
      return rc;
    }
    trace.print(5, "Getting local name");
    const XMLCh* local = node->getLocalName();
    rc = xmlch_to_native(local != nullptr ? local : node->getNodeName(), child_name, 0);
    if (rc != 0) return rc;
    trace.print(5, "Getting simple name");
    if (child_name == want_name && child_ns == want_uri) {
      out = CM_XmlElem(as_element(node));
      return 0;
    }
  }
  return CM_XML_NOT_FOUND;
}

int CM_XmlElem::Child(const CM_XmlTag& tag, CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "Child");
  int rc = OptChild(tag, out);
  if (rc != 0) {
    SUM_String name = tag.QualifiedName();
    trace.print(5, "Did not find %s", name.c_str());
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoChild, name.c_str());
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::OptFirstChild(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptFirstChild");
  if (m_parser_elem_node == nullptr) return CM_XML_NOT_FOUND;
  const DOMNode* found = next_element(m_parser_elem_node->getFirstChild());
  if (found == nullptr) return CM_XML_NOT_FOUND;
  out = CM_XmlElem(as_element(found));
  return 0;
}

int CM_XmlElem::FirstChild(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "FirstChild");
  if (OptFirstChild(out) != 0) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoFirstChild);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::OptNextSibling(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptNextSibling");
  if (m_parser_elem_node == nullptr) return CM_XML_NOT_FOUND;
  const DOMNode* found = next_element(m_parser_elem_node->getNextSibling());
  if (found == nullptr) return CM_XML_NOT_FOUND;
  out = CM_XmlElem(as_element(found));
  return 0;
}

int CM_XmlElem::NextSibling(CM_XmlElem& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "NextSibling");
  if (OptNextSibling(out) != 0) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoSibling);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::OptNextAttr(CM_XmlAttr& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "OptNextAttr");
  if (m_parser_elem_node == nullptr || !m_parser_elem_node->hasAttributes()) {
    return CM_XML_NOT_FOUND;
  }
  if (m_attr_map == nullptr) {
    m_attr_map = m_parser_elem_node->getAttributes();
    if (m_attr_map == nullptr) return CM_XML_NOT_FOUND;
    m_attr_index = static_cast<int>(m_attr_map->getLength()) - 1;
  }
  SUM_String uri;
  while (m_attr_index >= 0) {
    DOMNode* attr = m_attr_map->item(static_cast<XMLSize_t>(m_attr_index));
    if (attr == nullptr) {
      --m_attr_index;
      continue;
    }
    int rc = xmlch_to_native(attr->getNamespaceURI(), uri, 0);
    if (rc != 0) return rc;
    if (uri == XMLNS_URI) {
      --m_attr_index;
      continue;
    }
    out = CM_XmlAttr(attr);
    --m_attr_index;
    return 0;
  }
  return CM_XML_NOT_FOUND;
}

int CM_XmlElem::NextAttr(CM_XmlAttr& out) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "NextAttr");
  if (OptNextAttr(out) != 0) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNoAttribute);
    return CM_XML_REPORTED;
  }
  return 0;
}

int CM_XmlElem::find_attribute(const SUM_String& name, SUM_String& value) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "find_attribute");
  trace.print(5, "Looking for attribute %s", name.c_str());
  CM_XmlText xname;
  int rc = xname.Convert(name);
  if (rc != 0) return rc;
  return Pvt_ReadAttribute(m_parser_elem_node, xname.get(), name, value, trace);
}

int CM_XmlElem::Pvt_ReadAttribute(const DOMElement* node, const XMLCh* xname,
                                  const SUM_String& name, SUM_String& value,
                                  const CM_TraceScope& trace) {
  if (node == nullptr) {
    value.Empty();
    return CM_XML_NOT_FOUND;
  }
  int rc = xmlch_to_native(node->getAttribute(xname), value, 1);
  if (rc != 0) return rc;
  trace.print(5, "Attribute %s = %s", name.c_str(), value.c_str());
  return 0;
}

int CM_XmlElem::get_rdf_description_nodes(const SUM_String& tag_name) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "get_rdf_description_nodes");
  m_node_list.reset();
  if (m_parser_elem_node == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  auto index = std::make_shared<CM_XmlDescriptionIndex>();
  int rc = index->Build(m_parser_elem_node, tag_name);
  if (rc != 0) return rc;
  m_node_list = index;
  trace.print(5, "Found %d nodes with tag %s", index->Count(), tag_name.c_str());
  return 0;
}

int CM_XmlElem::get_body_from_nodelist(const CM_XmlTag& tag, const SUM_String& id,
                                       SUM_String& body) {
  CM_TraceScope trace(kTag, "CM_XmlElem", "get_body_from_nodelist");
  if (!m_node_list) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  const CM_XmlDescriptionIndex& index = *m_node_list;
  const int count = index.Count();
  trace.print(5, "Search %d nodes for id %s", count, id.c_str());

  int found = -1;
  int rc = 0;
  if (trace.is_enabled(5)) {
    // Watched closely: walk node by node so that every step shows in the trace.
    const SUM_String about_name = xmlch_to_string(CM_XmlDescriptionIndex::AboutName());
    SUM_String value;
    for (int i = 0; i < count && found < 0; ++i) {
      trace.print(5, "Looking for rdf:about");
      CM_TraceScope inner(kTag, "CM_XmlElem", "find_attribute");
      inner.print(5, "Looking for attribute %s", about_name.c_str());
      rc = Pvt_ReadAttribute(index.At(i), CM_XmlDescriptionIndex::AboutName(), about_name, value,
                             inner);
      if (rc != 0) return rc;
      trace.print(5, "Attr value is %s", value.c_str());
      if (value == id) found = i;
    }
  } else {
    CM_XmlText wanted;
    rc = wanted.Convert(id);
    if (rc != 0) return rc;
    found = index.Find(wanted.get());
    // A scan would have stopped at a node whose id does not convert.
    int failure = 0;
    const int unconvertible = index.FirstUnconvertible(failure);
    if (unconvertible >= 0 && (found < 0 || unconvertible < found)) return failure;
  }
  if (found < 0) return CM_XML_NOT_FOUND;

  trace.print(5, "Found id %s (%s)", id.c_str(), id.c_str());
  CM_XmlElem node(index.At(found));
  CM_XmlElem child;
  rc = node.Child(tag, child);
  if (rc != 0) return rc;
  rc = child.TextContent(body, 1);
  trace.print(5, "Title %s ", body.c_str());
  return rc;
}

// ---------------------------------------------------------------------------------------------
// CM_XmlAttr

CM_XmlAttr::CM_XmlAttr() { CM_TraceScope trace(kTag, "CM_XmlAttr", "CM_XmlAttr"); }

CM_XmlAttr::CM_XmlAttr(DOMNode* attr) : m_attr_node(attr) {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "CM_XmlAttr(DOMElement)");
}

CM_XmlAttr::~CM_XmlAttr() { CM_TraceScope trace(kTag, "CM_XmlAttr", "~CM_XmlAttr"); }

bool CM_XmlAttr::IsNil() {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "IsNil");
  return m_attr_node == nullptr;
}

int CM_XmlAttr::Tag(CM_XmlTag& out) {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "Tag");
  return node_tag(m_attr_node, out);
}

int CM_XmlAttr::Value(SUM_String& out, int quiet) {
  CM_TraceScope trace(kTag, "CM_XmlAttr", "Value");
  if (m_attr_node == nullptr) {
    out.Empty();
    return 0;
  }
  return xmlch_to_native(m_attr_node->getNodeValue(), out, quiet);
}
