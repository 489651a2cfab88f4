// The two message tables ("cm_mr", "cm_oslc"), the message formatter and the internal-error
// report. Any module may call.
#ifndef CM_PROVIDER_CM_MESSAGES_H
#define CM_PROVIDER_CM_MESSAGES_H

#include <string>

#include "platform/ks/ks.h"

extern "C" {
__attribute__((visibility("default"))) const imsg_table* _cm_mr_CM_Oslc_msg_table_adr();
__attribute__((visibility("default"))) const imsg_table* _cm_oslc_CM_Oslc_msg_table_adr();
__attribute__((visibility("default"))) void libcmmrv1_0_print_verid();
}

// Message numbers (0-based) of the "cm_mr" table; the texts are in cm_messages.cc.
enum CM_MrMsg : int {
  kMrFormatError = 0,
  kMrProviderNotFound,
  kMrOutOfMemory,
  kMrCannotCreateJar,
  kMrCannotSaveCookie,
  kMrCannotParseJar,
  kMrCurlInit,
  kMrNotUnderstood,
  kMrNoStableId,
  kMrCurlOption,
  kMrCurlStatus,
  kMrAuthFailed,
  kMrServerError,
  kMrDomException,
  kMrNoChild,
  kMrNoFirstChild,
  kMrNoSibling,
  kMrNoAttribute,
  kMrEmptyResponse,
  kMrXmlException,
  kMrSaxException,
  kMrUnknownException,
  kMrNotInCodePage,
  kMrNotUnicode,
  kMrInitFailed,
  kMrSessionInitFailed,
  kMrAssociateFailed,
  kMrDisassociateFailed,
  kMrAuthenticationFailed,
  kMrRecordNotFound,
  kMrNoInstance,
  kMrModifyContext,
  kMrCommitComplete,
  kMrKeptChanging,
  kMrTraceFolder,
  kMrTraceFile,
  kMrBadConnectionName,
  kMrLoginUnreadable,
  kMrFolderUnusable,
  kMrTraceUnwritable,
  kMrMessageCount
};

// Message numbers (0-based) of the "cm_oslc" table; the texts are in cm_messages.cc.
enum CM_OslcMsg : int {
  kOslcCurlStatus = 0,
  kOslcEmptyQuery,
  kOslcNoFieldValue,
  kOslcEmptyGet,
  kOslcCurlInit,
  kOslcAuthFailed,
  kOslcNotFound,
  kOslcNotUnderstood,
  kOslcNotXml,
  kOslcCurlOption,
  kOslcNoStableId,
  kOslcInvalidDocument,
  kOslcServerError,
  kOslcCannotSaveCookie,
  kOslcXmlException,
  kOslcDomException,
  kOslcSaxException,
  kOslcUnknownException,
  kOslcXmlChSize,
  kOslcNotNative,
  kOslcNotUnicode,
  kOslcNoConverter,
  kOslcNoChild,
  kOslcNoFirstChild,
  kOslcNoSibling,
  kOslcNoAttribute,
  kOslcNotInCodePage,
  kOslcCannotCreateJar,
  kOslcCannotParseJar,
  kOslcInternal,
  kOslcCookieNotUpdated,
  kOslcForeignOrigin,
  kOslcDuplicateId,
  kOslcMessageCount
};

// Message `number` (0-based) of `table`, printf-formatted; the internal-error fall-backs when the
// message is missing or 153600 bytes or longer.
std::string format_message(const imsg_table* table, int number, ...);
std::string format_message_v(const imsg_table* table, int number, va_list ap);

// Reports a state that should not occur to the internal-error log (component "cmioslc", platform
// message 35) with the given source path and line.
void cm_internal_error(const char* source_path, int line);

#endif
