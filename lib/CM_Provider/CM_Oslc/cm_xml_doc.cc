// Request document builder over a Xerces DOM document and its serialiser.
#include "CM_Provider/CM_Oslc/cm_xml_doc.h"

#include <xercesc/dom/DOM.hpp>
#include <xercesc/framework/MemBufFormatTarget.hpp>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLException.hpp>
#include <xercesc/util/XMLString.hpp>

#include <memory>

#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

XERCES_CPP_NAMESPACE_USE

namespace {

const char kTag[] = "CMOSLC";
const char kClass[] = "CM_XmlDoc";
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_doc";

enum {
  kMsgDomException = 13,
  kMsgXmlException = 19,
  kMsgUnknownException = 21,
};

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

// A UTF-16 text from native_to_xmlch, released on scope exit.
class XText {
 public:
  XText() = default;
  ~XText() {
    if (m_text != nullptr) XMLString::release(&m_text);
  }
  XText(const XText&) = delete;
  XText& operator=(const XText&) = delete;
  int convert(const SUM_String& text) { return native_to_xmlch(text, &m_text); }
  const XMLCh* get() const { return m_text; }

 private:
  XMLCh* m_text = nullptr;
};

void print_dom_exception(const DOMException& e) {
  SUM_String text = xmlch_to_string(e.getMessage());
  imsg_print(IMSG_KIND_ERROR, mr_table(), kMsgDomException, static_cast<int>(e.code), text.c_str());
}

// Every Xerces call of the builder goes through here so that no exception leaves the class.
template <typename Fn>
int guarded(Fn&& fn) {
  try {
    return fn();
  } catch (const DOMException& e) {
    print_dom_exception(e);
  } catch (const XMLException& e) {
    SUM_String text = xmlch_to_string(e.getMessage());
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMsgXmlException, static_cast<int>(e.getCode()),
               static_cast<int>(e.getSrcLine()), text.c_str());
  } catch (...) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMsgUnknownException);
  }
  return CM_XML_REPORTED;
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
    if (m_writer != nullptr) m_writer->release();
    if (m_doc != nullptr) m_doc->release();
  } catch (...) {
  }
  m_writer = nullptr;
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
  XText uri;
  XText qname;
  int rc = uri.convert(root.URI());
  if (rc != 0) return rc;
  rc = qname.convert(root.QualifiedName());
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
    DOMLSSerializer* writer = nullptr;
    try {
      writer = impl->createLSSerializer(XMLPlatformUtils::fgMemoryManager);
    } catch (...) {
      doc->release();
      throw;
    }
    m_impl = impl;
    m_doc = doc;
    m_writer = writer;
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
  XText qname;
  int rc = qname.convert(tag.QualifiedName());
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
  XText xname;
  XText xvalue;
  int rc = xname.convert(name.QualifiedName());
  if (rc != 0) return rc;
  rc = xvalue.convert(value);
  if (rc != 0) return rc;
  return guarded([&]() {
    static_cast<DOMElement*>(m_current)->setAttribute(xname.get(), xvalue.get());
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
  const SUM_String prefix = ns.Prefix();
  const SUM_String attr_name =
      prefix.GetLength() > 0 ? SUM_String("xmlns:") + prefix : SUM_String("xmlns");
  XText xname;
  int rc = xname.convert(attr_name);
  if (rc != 0) return rc;
  trace.print(5, "Namespace %s converted to xerces", attr_name.c_str());
  const SUM_String uri = ns.URI();
  XText xuri;
  rc = xuri.convert(uri);
  if (rc != 0) return rc;
  trace.print(5, "Namespace URL %s converted to xerces", uri.c_str());
  return guarded([&]() {
    DOMElement* root = m_doc->getDocumentElement();
    if (root == nullptr) {
      cm_internal_error(kSource, __LINE__);
      return static_cast<int>(CM_XML_INTERNAL);
    }
    root->setAttribute(xname.get(), xuri.get());
    trace.print(5, "Namespace %s added to root element", attr_name.c_str());
    return 0;
  });
}

int CM_XmlDoc::Str(SUM_String& out) {
  CM_TraceScope trace(kTag, kClass, "Str");
  if (m_doc == nullptr || m_writer == nullptr || m_impl == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  return guarded([&]() {
    MemBufFormatTarget target(1023, XMLPlatformUtils::fgMemoryManager);
    DOMLSOutput* output = m_impl->createLSOutput(XMLPlatformUtils::fgMemoryManager);
    std::unique_ptr<DOMLSOutput, void (*)(DOMLSOutput*)> output_owner(
        output, [](DOMLSOutput* o) { o->release(); });
    output->setByteStream(&target);
    if (!m_writer->write(m_doc, output)) {
      imsg_print(IMSG_KIND_ERROR, mr_table(), kMsgUnknownException);
      return static_cast<int>(CM_XML_REPORTED);
    }
    out = SUM_String(reinterpret_cast<const char*>(target.getRawBuffer()),
                     static_cast<int>(target.getLen()));
    return 0;
  });
}
