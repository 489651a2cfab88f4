#include "platform/tbs/tbs.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int kTbsMessages = 36;

// Only the internal-error entry is used by the library; the other slots are reserved.
const char* const kTbsTexts[kTbsMessages] = {
    "Out of memory.\n",
    "Cannot open file %s.\n",
    "Cannot write file %s.\n",
    "Cannot create folder %s.\n",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "Internal error in %s at %s line %d.\n",
};

const uint16_t kTbsIds[kTbsMessages] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11,
                                        12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23,
                                        24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35};

const imsg_table kTbsTable = {"tbs", "tbs", 1, kTbsMessages, kTbsTexts, kTbsIds, -1};

int format_message(char* buf, size_t size, const imsg_table* table, int number, ...) {
  va_list ap;
  va_start(ap, number);
  int n = imsg_vsprintf(buf, size, table, number, ap);
  va_end(ap);
  return n;
}

}  // namespace

int tbs_product_log_dir(char* buf, int) {
  if (!buf) return -1;
  buf[0] = '\0';
  const char* env = getenv("TAPIR_LOG_DIR");
  std::string dir = env && *env ? std::string(env) : sysutl_home_dir().str() + "/.Corvane/log";
  // The caller's buffer holds 1024 bytes.
  return strutl_cpy_buf(buf, dir.c_str(), 1024) == 0 ? 0 : -1;
}

const imsg_table* _tbs_cmsg_tbs_msg_table_adr() { return &kTbsTable; }

void tbs_log_int_error(const char* component, const imsg_table* table, int number,
                       const char* source_path, int line, int) {
  if (!component) component = "";
  if (!source_path) source_path = "";
  char text[2048];
  int n = -1;
  // The message takes component, source path and line, in this order.
  if (table) n = format_message(text, sizeof text, table, number, component, source_path, line);
  if (n < 0)
    n = snprintf(text, sizeof text, "Internal error in %s at %s line %d.\n", component, source_path,
                 line);
  if (n < 0) return;
  size_t len = strnlen(text, sizeof text);
  if (len == 0 || text[len - 1] != '\n') {
    if (len == sizeof text - 1) --len;
    text[len++] = '\n';
    text[len] = '\0';
  }
  // One write keeps the line whole among other processes' output.
  ssize_t rc = write(STDERR_FILENO, text, len);
  (void)rc;
}
