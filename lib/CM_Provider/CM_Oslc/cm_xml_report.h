// How the XML layer tells the user about a Xerces failure: each exception kind printed with its
// message of the cm_mr table, its text in the native code page. Callers: the parser, the
// navigation wrappers and the document builder, inside their own catch blocks.
#ifndef CM_PROVIDER_CM_OSLC_CM_XML_REPORT_H
#define CM_PROVIDER_CM_OSLC_CM_XML_REPORT_H

#include <xercesc/util/XercesDefs.hpp>

XERCES_CPP_NAMESPACE_BEGIN
class DOMException;
class SAXParseException;
class XMLException;
XERCES_CPP_NAMESPACE_END

void cm_xml_report(const XERCES_CPP_NAMESPACE::DOMException& e);
void cm_xml_report(const XERCES_CPP_NAMESPACE::XMLException& e);
void cm_xml_report(const XERCES_CPP_NAMESPACE::SAXParseException& e);
// Anything else Xerces threw.
void cm_xml_report_unknown();

#endif
