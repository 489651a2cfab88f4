#include "CM_Provider/cm_messages.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "platform/tbs/tbs.h"

#ifndef CM_VERSION_STRING
#define CM_VERSION_STRING "0.0.0.0"
#endif
#ifndef CM_BUILD_STAMP
#define CM_BUILD_STAMP "Thu Jan 01 00:00:00 1970"
#endif

namespace {

const char kCatalog[] = "CM_Oslc_CM_Provider";

const char* const kMrTexts[] = {
    "Format error or missing data in provider context.\n",
    "Provider information not found.\n",
    "Out of memory.\n",
    ("Unable to create a integration cookie jar.  Check permissions for directories in the path "
     "%s, found in your HOME directory.\n"),
    "Unable to save cookie in %s.\n",
    "Unable to parse the contents of the integration cookie jar file %s.\n",
    "Failed to initialize CURL.\n",
    "The server returned an XML response that the client does not understand.\n",
    "Failed to get stable ID from GET request.\n",
    "Failed to set CURL option.\n",
    "CURL returned status code, \"%i\", and the following message: \"%s\".\n",
    "Authorization failed.  Please check your credentials and connection information.\n",
    "Server error: \"%s\"\n",
    "Xerces DOMException: code: %d, msg: %s.\n",
    "Internal Error: XML parse error: Failed to find expected child element \"%s\".\n",
    "Internal Error: XML parse error: Failed to find expected first child element.\n",
    "Internal Error: XML parse error: Failed to find expected sibling element.\n",
    "Internal Error: XML parse error: Failed to find expected attribute.\n",
    "The \"query\" request returned an empty response.\n",
    "Xerces XMLException: code: %d, line: %d, msg: %s.\n",
    "Xerces SAXParseException: line: %ld, column: %ld, msg: %s.\n",
    "Unrecognized exception from Xerces while parsing XML.\n",
    "String contains characters that are not in local code page, \"%s\". The string is \"%s\".\n",
    "Failed to convert native string, \"%s\", to unicode.\n",
    "Initialize failed for server at \"%s\".\n",
    "Session initialize failed for server at \"%s\".\n",
    "Associate action failed \"%s\" \"%s\" \"%s\" (\"%s\").\n",
    "Disassociate action failed  \"%s\" \"%s\" \"%s\" (\"%s\").\n",
    "Authentication failed. Please check your credentials.\n",
    "Merrow record \"%s\" not found.\n",
    "Merrow provider instance not found.\n",
    "Error modifying context.\n",
    "Commit already complete for \"%s\".",
    ("Record \"%s\" kept changing while its links were being written (%d tries): another writer "
     "changed it every time. None of this request's links were written to it; run it again.\n"),
    "The trace folder %s cannot be used (%s); tracing is off.\n",
    "The trace file %s cannot be opened (%s); tracing is off.\n",
    ("The connection value \"%s\" cannot name a folder: it must not be empty, \".\" or \"..\", "
     "nor hold \"/\" or control characters.\n"),
    ("The stored login for provider \"%s\", dbset \"%s\", user database \"%s\" cannot be read "
     "(the key file is missing or was replaced, or the login file is damaged); nothing was sent. "
     "Store the login again with `cmi creds add`.\n"),
    "The folder %s cannot be used: %s.\n",
    "The trace file %s cannot be written (%s); tracing is off.\n",
};

const char* const kOslcTexts[] = {
    "CURL returned status code, \"%i\", and the following message: \"%s\".\n",
    "The \"query\" request returned an empty response.\n",
    "Unable to retrieve value for field \"%s\".\n",
    "The \"get\" request returned an empty response.\n",
    "Failed to initialize CURL.\n",
    "Authorization failed.  Please check your credentials and connection information.\n",
    "The requested resource was not found.\n",
    "The server returned an XML response that the client does not understand.\n",
    "The server returned a response that is not valid XML.\n",
    "Failed to set CURL option.\n",
    "Failed to get stable ID from GET request.\n",
    "The request formed an invalid XML document.\n",
    "Server error: \"%s\"\n",
    "Unable to save cookie in %s.\n",
    "Xerces XMLException: code: %d, line: %d, msg: %s.\n",
    "Xerces DOMException: code: %d, msg: %s.\n",
    "Xerces SAXParseException: line: %ld, column: %ld, msg: %s.\n",
    "Unrecognized exception from Xerces while parsing XML.\n",
    ("Internal Error: Failed to convert Xerces to native character encoding. Size of XMLCh does "
     "not match UChar.\n"),
    "Failed to convert unicode string to native encoding.\n",
    "Failed to convert native string, \"%s\", to unicode.\n",
    "Failed to get ICU string converter.\n",
    "Internal Error: XML parse error: Failed to find expected child element \"%s\".\n",
    "Internal Error: XML parse error: Failed to find expected first child element.\n",
    "Internal Error: XML parse error: Failed to find expected sibling element.\n",
    "Internal Error: XML parse error: Failed to find expected attribute.\n",
    "String contains characters that are not in local code page, \"%s\". The string is \"%s\".\n",
    ("Unable to create a FLX/MR Integration cookie jar.  Check permissions for directories in the "
     "path %s, found in your HOME directory.\n"),
    "Unable to parse the contents of the FLX/MR Integration cookie jar file %s.\n",
    "Internal error , \"%s\"  \"%d\".\n",
    "Unable to update Integration cookie.\n",
    ("The record's address \"%s\" is not on the tracker's server \"%s\" (scheme, host and port "
     "must be the same); nothing was sent there and the record's links were left unchanged.\n"),
    ("Record \"%s\" has more than one link with the rdf:ID \"%s\"; the record's links were left "
     "unchanged.\n"),
};

constexpr int kMrCount = sizeof kMrTexts / sizeof kMrTexts[0];
constexpr int kOslcCount = sizeof kOslcTexts / sizeof kOslcTexts[0];
static_assert(kMrCount == kMrMessageCount, "every cm_mr message has a number");
static_assert(kOslcCount == kOslcMessageCount, "every cm_oslc message has a number");

// Message ids 1..N, closed by a 0, as the record layout requires.
const uint16_t kMrIds[kMrCount + 1] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
                                       15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28,
                                       29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 0};
const uint16_t kOslcIds[kOslcCount + 1] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                           13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24,
                                           25, 26, 27, 28, 29, 30, 31, 32, 33, 0};

const imsg_table kMrTable = {kCatalog, "cm_mr", 1, kMrCount, kMrTexts, kMrIds, 0};
const imsg_table kOslcTable = {kCatalog, "cm_oslc", 2, kOslcCount, kOslcTexts, kOslcIds, 0};

constexpr size_t kMessageBufferSize = 153600;

std::string fallback(const char* format, int number) {
  char text[96];
  std::snprintf(text, sizeof text, format, number);
  return text;
}

// The build stamp in asctime's layout: its day of the month is blank-padded ("Feb  7"), where the
// build tool pads it with a zero ("Feb 07").
std::string asctime_stamp() {
  std::string stamp = CM_BUILD_STAMP;
  if (stamp.size() > 8 && stamp[7] == ' ' && stamp[8] == '0') stamp[8] = ' ';
  return stamp;
}

}  // namespace

extern "C" const imsg_table* _cm_mr_CM_Oslc_msg_table_adr() { return &kMrTable; }

extern "C" const imsg_table* _cm_oslc_CM_Oslc_msg_table_adr() { return &kOslcTable; }

extern "C" void libcmmrv1_0_print_verid() {
  try {
    const std::string stamp = asctime_stamp();
    imsg_print(IMSG_KIND_INFO, "%-*s %s (%s)\n", -1, 33, "libcmmrv1_0", CM_VERSION_STRING,
               stamp.c_str());
  } catch (...) {
  }
}

std::string format_message_v(const imsg_table* table, int number, va_list ap) {
  std::unique_ptr<char[]> buf(new (std::nothrow) char[kMessageBufferSize]);
  if (!buf) return fallback("Internal error: message %d is too long", number);
  buf[0] = '\0';
  const int n = imsg_vsprintf(buf.get(), kMessageBufferSize, table, number, ap);
  if (n < 0) return fallback("Internal error: could not load message %d", number);
  if (static_cast<size_t>(n) >= kMessageBufferSize) {
    return fallback("Internal error: message %d is too long", number);
  }
  return std::string(buf.get(), static_cast<size_t>(n));
}

std::string format_message(const imsg_table* table, int number, ...) {
  va_list ap;
  va_start(ap, number);
  std::string text = format_message_v(table, number, ap);
  va_end(ap);
  return text;
}

void cm_internal_error(const char* source_path, int line) {
  tbs_log_int_error("cmioslc", _tbs_cmsg_tbs_msg_table_adr(), 35, source_path, line, 0);
}
