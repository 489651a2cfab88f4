// CM_XmlWriter: the record update's body builder without a DOM. It writes, as the calls come, the
// bytes CM_XmlDoc would serialise: the same declaration, names, escaping, namespace declaration
// of the root and attribute order, with the same conversion failures and messages. A start tag is
// written once its element gets a child or is closed, so attributes and namespaces must come
// before that (as the update makes them); a call that would change a written tag is an internal
// error here where the DOM builder would accept it. Converts with the native ICU converter
// alone: Xerces is initialised only for the moment of reporting a name XML does not allow.
// Status codes as CM_XmlDoc; nothing throws.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_WRITER_H
#define CM_PROVIDER_CM_OSLC_CM_XML_WRITER_H

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "CM_Provider/CM_Oslc/cm_xml_doc.h"

class CM_XmlWriter : public CM_XmlBuilder {
 private:
  struct Name;

 public:
  // The names of an empty element and its two attributes, found once for many elements alike.
  class EmptyElem {
   public:
    bool found() const { return m_tag != nullptr; }

   private:
    friend class CM_XmlWriter;
    const Name* m_tag = nullptr;
    std::string m_head;     // "<tag first=\""
    std::string m_between;  // "\" second=\""
  };

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
  // The same text in out (replaced), for a caller that hands it on by move.
  int Str(std::string& out);
  // Str, then Clear: a finished document's text is handed over instead of copied.
  int Take(std::string& out);
  // Starts a new document. The names converted so far are kept: the native converter, once open,
  // is the process's for good, so they would convert the same again.
  void Clear();

  // For a caller writing thousands of empty elements: finds their names when this writer has
  // written each before (so they convert, are allowed and print nothing) and the two attributes
  // are not one; out is left not found otherwise.
  void FindEmptyElem(const CM_XmlTag& tag, const CM_XmlTag& first, const CM_XmlTag& second,
                     EmptyElem& out) const;
  // PushElem, AddAttr of the first and of the second value, PopElem, in one step and with the
  // same bytes, when none of them can fail: with an open element and both values plain ASCII in
  // a page that writes ASCII as ASCII. Otherwise false, with nothing written: the caller then
  // makes those calls, which convert or refuse as ever. alike: how many elements of about this
  // size are still to come, for when the document must grow.
  bool WriteEmptyElem(const EmptyElem& elem, std::string_view first_value,
                      std::string_view second_value, size_t alike);

 private:
  // A qualified name as given and as written (UTF-8, checked), converted once per writer: an
  // update names the same few elements and attributes for each of its links.
  // The pieces of markup around it are kept with it, ready to append.
  struct Name {
    SUM_String prefix;
    SUM_String local;
    std::string utf8;
    std::string start;  // "<name"
    std::string end;    // "</name>"
    std::string attr;   // " name=\""
  };
  struct Attr {
    const Name* name;
    std::string value;  // escaped
  };
  struct Open {
    const Name* name;
    bool written;  // its start tag is in m_out
  };
  // The name "prefix:local" (local alone when prefix is empty), as the DOM builder takes it. A
  // name XML does not allow gives 0 and null: the caller reports it when the DOM would.
  int Pvt_Name(const SUM_String& prefix, const SUM_String& local, const Name*& out);
  // The name converted before, or null.
  const Name* Pvt_Known(const SUM_String& prefix, const SUM_String& local) const;
  // The start tag of the innermost element, with ">", unless it is written.
  void Pvt_WriteParent();
  int Pvt_SetAttr(const Name* name, const SUM_String& value);
  // The start tag of the innermost element, closed with ">" or, for an element without
  // children, "/>".
  void Pvt_StartTag(const char* end, std::string& out) const;

  std::string m_out;
  std::vector<std::unique_ptr<Name>> m_names;
  std::vector<Open> m_open;
  // The attributes of the innermost element while its start tag is not written (every outer
  // one's is): m_attr_count of them, the entries beyond kept for their buffers.
  std::vector<Attr> m_attrs;
  size_t m_attr_count = 0;
  std::string m_root_decl;  // the root's own namespace declaration: name
  std::string m_root_uri;   // and escaped URI; empty when it has no namespace
  bool m_created = false;
  bool m_gone = false;  // popped past the document
};

// The update's body builder when the XML layer is traced: the writer's bytes and refusals, with
// the trace lines of the DOM builder it stands in for (scopes of "CM_XmlDoc" and its namespace
// lines), so that a traced update costs no DOM and its trace reads as before.
class CM_XmlTracedWriter : public CM_XmlBuilder {
 public:
  CM_XmlTracedWriter() = default;
  ~CM_XmlTracedWriter() override;
  CM_XmlTracedWriter(const CM_XmlTracedWriter&) = delete;
  CM_XmlTracedWriter& operator=(const CM_XmlTracedWriter&) = delete;

  int CreateRootElem(const CM_XmlTag& root) override;
  int PushElem(const CM_XmlTag& tag) override;
  int PopElem() override;
  int AddAttr(const CM_XmlTag& name, const SUM_String& value) override;
  int SetNamespace(const CM_XmlNamespace& ns) override;
  int Str(SUM_String& out) override;
  int Str(std::string& out);

 private:
  CM_XmlWriter m_writer;
  bool m_created = false;  // a root was made
};

#endif
