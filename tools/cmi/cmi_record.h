// CmiRecordReader: reads one change-request record's links the way the plug-in does (the same
// URL, the user's stored login, the client certificate label), through the library's exported
// request class, so cmi can say what a change will do and what it did. Used by cmi only.
#ifndef TOOLS_CMI_CMI_RECORD_H
#define TOOLS_CMI_CMI_RECORD_H

#include <set>
#include <string>

#include "cmi_connection.h"

struct CmiRecord {
  int status = 0;               // 0 read; else the request's status code (20003 not found, ...)
  std::string error;            // why not, for people
  std::set<std::string> links;  // the selectors linked to the record
  bool etag = false;            // the answer carried an ETag
};

// The stored login of the connection: user name, or "" when there is none.
std::string cmi_login_user(const CmiConnection& connection, std::string* password);
// The client certificate label (first line of ~/.cmi_cert_label), or "".
std::string cmi_cert_label();
CmiRecord cmi_read_record(const CmiConnection& connection, const std::string& id);

#endif
