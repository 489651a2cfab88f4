// Logging services: the product log folder and the internal-error log. Any module may call.
#ifndef PLATFORM_TBS_TBS_H
#define PLATFORM_TBS_TBS_H

#include "platform/ks/ks.h"

// Writes the product log folder into buf (at least 1024 bytes): TAPIR_LOG_DIR when set and not
// empty, else "<home>/.Corvane/log". 0 on success.
int tbs_product_log_dir(char* buf, int);
// The platform's own message table; message 35 is the internal-error entry.
const imsg_table* _tbs_cmsg_tbs_msg_table_adr();
// One line on standard error naming the component, the source path and the line.
void tbs_log_int_error(const char* component, const imsg_table* table, int number,
                       const char* source_path, int line, int);

#endif
