// XML_Element and XML_ElementList: a small element tree (name, text, children) for the plug-in's
// own small files (cookie jar, credential store). Not for network input. Internal to the library.
#ifndef PLATFORM_SUM_XML_ELEMENT_H
#define PLATFORM_SUM_XML_ELEMENT_H

#include <vector>

#include <sum_string.h>

class XML_Element;

class XML_ElementList {
 public:
  void append(const XML_Element& element);  // copies it
  XML_Element& operator[](int index);
  const XML_Element& operator[](int index) const;
  int count() const;

 private:
  std::vector<XML_Element> m_items;
};

class XML_Element {
 public:
  XML_Element();
  explicit XML_Element(const SUM_String& name);
  XML_Element(const SUM_String& name, const SUM_String& text);
  virtual ~XML_Element();
  XML_Element(const XML_Element&);
  XML_Element& operator=(const XML_Element&);

  XML_ElementList& sub_elements();
  const XML_ElementList& sub_elements() const;
  const SUM_String& name() const;
  const SUM_String& text() const;

  // Serialises this element and its children as well-formed, escaped XML into out. 0 on success.
  int string(SUM_String& out, int indent) const;
  // Parses what string() writes (with Xerces-C; no DTD, no external entities). 0 on success,
  // nonzero when text is not one well-formed element.
  static int parse(const char* text, XML_Element& out);

 private:
  SUM_String m_name;
  SUM_String m_text;
  XML_ElementList m_children;
};

#endif
