// Request document builder over a Xerces DOM document and its serialiser.
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>

#include "CM_Provider/CM_Oslc/cm_xml_report.h"
#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"
#include "platform/sum/xml_text.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kTag[] = "CMOSLC";
const char kClass[] = "CM_XmlDoc";
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_doc";

// Every Xerces call of the builder goes through here so that no exception leaves the class.
template <typename Fn>
int guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const DOMException& e) {
    cm_xml_report(e);
  } catch (const XMLException& e) {
    cm_xml_report(e);
  } catch (...) {
    cm_xml_report_unknown();
  }
  return CM_XML_REPORTED;
}

void append_escaped(std::string& out, const XMLCh* text) {
  std::string raw;
  sum_append_utf8(raw, text);
  sum_append_xml_escaped(out, raw);
}

}  // namespace

CM_XmlDoc::CM_XmlDoc() {
  try {
    XMLPlatformUtils::Initialize();
    m_xerces_ready = true;
  } catch (...) {
    // Every later call finds no document and reports the wrong state.
    m_xerces_ready = false;
  }
}

CM_XmlDoc::~CM_XmlDoc() {
  CM_TraceScope trace(kTag, kClass, "~CM_XmlDoc");
  try {
    if (m_doc != nullptr) m_doc->release();
  } catch (...) {
  }
  m_doc = nullptr;
  m_current = nullptr;
  // Xerces counts initialisations; balancing here leaves it to whoever else still uses it.
  if (m_xerces_ready) {
    try {
      XMLPlatformUtils::Terminate();
    } catch (...) {
    }
  }
}

int CM_XmlDoc::CreateRootElem(const CM_XmlTag& root) {
  CM_TraceScope trace(kTag, kClass, "CreateRootElem");
  if (m_current != nullptr || m_doc != nullptr || !m_xerces_ready) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  CM_XmlText uri;
  CM_XmlText qname;
  int rc = uri.Convert(root.URI());
  if (rc != 0) return rc;
  rc = qname.Convert(root.QualifiedName());
  if (rc != 0) return rc;
  return guarded([&]() {
    static const XMLCh kCore[] = {u'c', u'o', u'r', u'e', 0};
    DOMImplementation* impl = DOMImplementationRegistry::getDOMImplementation(kCore);
    if (impl == nullptr) {
      cm_internal_error(kSource, __LINE__);
      return static_cast<int>(CM_XML_INTERNAL);
    }
    DOMDocument* doc = impl->createDocument(uri.get()[0] != 0 ? uri.get() : nullptr, qname.get(),
                                            nullptr, XMLPlatformUtils::fgMemoryManager);
    m_doc = doc;
    m_current = doc->getDocumentElement();
    return 0;
  });
}

int CM_XmlDoc::PushElem(const CM_XmlTag& tag) {
  CM_TraceScope trace(kTag, kClass, "PushElem");
  if (m_current == nullptr || m_doc == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  CM_XmlText qname;
  int rc = qname.Convert(tag.QualifiedName());
  if (rc != 0) return rc;
  return guarded([&]() {
    DOMElement* element = m_doc->createElement(qname.get());
    m_current->appendChild(element);
    m_current = element;
    return 0;
  });
}

int CM_XmlDoc::PopElem() {
  CM_TraceScope trace(kTag, kClass, "PopElem");
  if (m_current == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  m_current = m_current->getParentNode();
  return 0;
}

int CM_XmlDoc::AddAttr(const CM_XmlTag& name, const SUM_String& value) {
  CM_TraceScope trace(kTag, kClass, "AddAttr");
  // After popping past the root the current node is the document, which takes no attributes.
  if (m_current == nullptr || m_current->getNodeType() != DOMNode::ELEMENT_NODE) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  CM_XmlText xname;
  CM_XmlText xvalue;
  int rc = xname.Convert(name.QualifiedName());
  if (rc != 0) return rc;
  rc = xvalue.Convert(value);
  if (rc != 0) return rc;
  return guarded([&]() {
    DOMElement* element = static_cast<DOMElement*>(m_current);
    element->setAttribute(xname.get(), xvalue.get());
    RecordAttr(element, xname.get());
    return 0;
  });
}

int CM_XmlDoc::SetNamespace(const CM_XmlNamespace& ns) {
  CM_TraceScope trace(kTag, kClass, "SetNamespace");
  if (m_doc == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  // "xmlns:" alone is no declaration; an empty prefix declares the default namespace.
  const SUM_String& prefix = ns.Prefix();
  const SUM_String attr_name =
      prefix.GetLength() > 0 ? SUM_String("xmlns:") + prefix : SUM_String("xmlns");
  CM_XmlText xname;
  int rc = xname.Convert(attr_name);
  if (rc != 0) return rc;
  trace.print(5, "Namespace %s converted to xerces", attr_name.c_str());
  const SUM_String& uri = ns.URI();
  CM_XmlText xuri;
  rc = xuri.Convert(uri);
  if (rc != 0) return rc;
  trace.print(5, "Namespace URL %s converted to xerces", uri.c_str());
  return guarded([&]() {
    DOMElement* root = m_doc->getDocumentElement();
    if (root == nullptr) {
      cm_internal_error(kSource, __LINE__);
      return static_cast<int>(CM_XML_INTERNAL);
    }
    root->setAttribute(xname.get(), xuri.get());
    RecordAttr(root, xname.get());
    trace.print(5, "Namespace %s added to root element", attr_name.c_str());
    return 0;
  });
}

int CM_XmlDoc::Str(SUM_String& out) {
  CM_TraceScope trace(kTag, kClass, "Str");
  if (m_doc == nullptr || m_doc->getDocumentElement() == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  return guarded([&]() {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";
    WriteElement(m_doc->getDocumentElement(), text);
    out = SUM_String(text);
    return 0;
  });
}

void CM_XmlDoc::RecordAttr(const DOMElement* element, const XMLCh* name) {
  std::vector<XName>& order = m_attr_order[element];
  for (const XName& known : order) {
    if (known == name) return;  // a replaced value keeps its place
  }
  order.emplace_back(name);
}

// The builder makes a shallow tree (root, record, links), so recursion depth stays small.
void CM_XmlDoc::WriteElement(const DOMElement* element, std::string& out) const {
  out += '<';
  sum_append_utf8(out, element->getTagName());
  auto order = m_attr_order.find(element);
  // The root carries its own namespace; declare it unless the caller did.
  const XMLCh* ns_uri = element->getNamespaceURI();
  if (ns_uri != nullptr && ns_uri[0] != 0) {
    static const XMLCh kXmlns[] = {u'x', u'm', u'l', u'n', u's', 0};
    XName decl(kXmlns);
    const XMLCh* prefix = element->getPrefix();
    if (prefix != nullptr && prefix[0] != 0) {
      decl += u':';
      decl += prefix;
    }
    const bool declared =
        order != m_attr_order.end() &&
        std::find(order->second.begin(), order->second.end(), decl) != order->second.end();
    if (!declared) {
      out += ' ';
      sum_append_utf8(out, decl.c_str());
      out += "=\"";
      append_escaped(out, ns_uri);
      out += '"';
    }
  }
  if (order != m_attr_order.end()) {
    for (const XName& name : order->second) {
      out += ' ';
      sum_append_utf8(out, name.c_str());
      out += "=\"";
      append_escaped(out, element->getAttribute(name.c_str()));
      out += '"';
    }
  }
  const DOMNode* child = element->getFirstChild();
  if (child == nullptr) {
    out += "/>";
    return;
  }
  out += '>';
  for (; child != nullptr; child = child->getNextSibling()) {
    if (child->getNodeType() == DOMNode::ELEMENT_NODE) {
      WriteElement(static_cast<const DOMElement*>(child), out);
    } else if (child->getNodeType() == DOMNode::TEXT_NODE) {
      append_escaped(out, child->getNodeValue());
    }
  }
  out += "</";
  sum_append_utf8(out, element->getTagName());
  out += '>';
}
