// CM_XmlWriter: the record update's body builder without a DOM. It writes, as the calls come, the
// bytes CM_XmlDoc would serialise: the same declaration, names, escaping, namespace declaration
// of the root and attribute order, with the same conversion failures and messages. A start tag is
// written once its element gets a child or is closed, so attributes and namespaces must come
// before that (as the update makes them); a call that would change a written tag is an internal
// error here where the DOM builder would accept it. Keeps Xerces initialised while it lives
// (counted), for the text conversions. Status codes as CM_XmlDoc; nothing throws.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_WRITER_H
#define CM_PROVIDER_CM_OSLC_CM_XML_WRITER_H

#include <string>
#include <utility>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_doc.h"

class CM_XmlWriter : public CM_XmlBuilder {
 public:
  CM_XmlWriter();
  ~CM_XmlWriter() override;
  CM_XmlWriter(const CM_XmlWriter&) = delete;
  CM_XmlWriter& operator=(const CM_XmlWriter&) = delete;

  int CreateRootElem(const CM_XmlTag& root) override;
  int PushElem(const CM_XmlTag& tag) override;
  int PopElem() override;
  int AddAttr(const CM_XmlTag& name, const SUM_String& value) override;
  int SetNamespace(const CM_XmlNamespace& ns) override;
  int Str(SUM_String& out) override;

 private:
  struct Open {
    std::string name;  // UTF-8
    // UTF-8 name and escaped value, in the order first set.
    std::vector<std::pair<std::string, std::string>> attrs;
    bool written = false;  // its start tag is in m_out
  };
  int Pvt_SetAttr(Open& element, const SUM_String& name, const SUM_String& value);
  // The start tag of element, closed with ">" or, for an element without children, "/>".
  void Pvt_StartTag(const Open& element, const char* end, std::string& out) const;

  std::string m_out;
  std::vector<Open> m_open;
  std::string m_root_decl;  // the root's own namespace declaration: name
  std::string m_root_uri;   // and escaped URI; empty when it has no namespace
  bool m_created = false;
  bool m_gone = false;  // popped past the document
  bool m_xerces_ready = false;
};

#endif
