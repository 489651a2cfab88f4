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

// Message `number` (0-based) of `table`, printf-formatted; the internal-error fall-backs when the
// message is missing or 153600 bytes or longer.
std::string format_message(const imsg_table* table, int number, ...);
std::string format_message_v(const imsg_table* table, int number, va_list ap);

// Reports a state that should not occur to the internal-error log (component "cmioslc", platform
// message 35) with the given source path and line.
void cm_internal_error(const char* source_path, int line);

#endif
