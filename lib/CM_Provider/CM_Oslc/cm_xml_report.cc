// Printed messages for Xerces exceptions.
#include "CM_Provider/CM_Oslc/cm_xml_report.h"

#include <xercesc/dom/DOMException.hpp>
#include <xercesc/sax/SAXParseException.hpp>
#include <xercesc/util/XMLException.hpp>

#include "CM_Provider/CM_Oslc/cm_xml_text.h"
#include "CM_Provider/cm_messages.h"
#include "platform/ks/ks.h"

namespace {

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

}  // namespace

void cm_xml_report(const XERCES_CPP_NAMESPACE::DOMException& e) {
  SUM_String text = xmlch_to_string(e.getMessage());
  imsg_print(IMSG_KIND_ERROR, mr_table(), kMrDomException, static_cast<int>(e.code), text.c_str());
}

void cm_xml_report(const XERCES_CPP_NAMESPACE::XMLException& e) {
  SUM_String text = xmlch_to_string(e.getMessage());
  imsg_print(IMSG_KIND_ERROR, mr_table(), kMrXmlException, static_cast<int>(e.getCode()),
             static_cast<int>(e.getSrcLine()), text.c_str());
}

void cm_xml_report(const XERCES_CPP_NAMESPACE::SAXParseException& e) {
  SUM_String text = xmlch_to_string(e.getMessage());
  imsg_print(IMSG_KIND_ERROR, mr_table(), kMrSaxException, static_cast<long>(e.getLineNumber()),
             static_cast<long>(e.getColumnNumber()), text.c_str());
}

void cm_xml_report_unknown() { imsg_print(IMSG_KIND_ERROR, mr_table(), kMrUnknownException); }
