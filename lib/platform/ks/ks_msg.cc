#include <cstdio>
#include <string>
#include <vector>

#include "platform/ks/ks.h"

namespace {

// The message text of `number`, or null when the table has none.
const char* message_text(const void* table, int number) {
  if (!table) return nullptr;
  if (number == -1) return static_cast<const char*>(table);
  const imsg_table* t = static_cast<const imsg_table*>(table);
  if (number < 0 || number >= t->count || !t->texts) return nullptr;
  return t->texts[number];
}

}  // namespace

int imsg_vsprintf(char* buf, size_t size, const void* table, int number, va_list ap) {
  const char* format = message_text(table, number);
  if (!format) {
    if (buf && size > 0) buf[0] = '\0';
    return -1;
  }
  char dummy[1];
  if (!buf || size == 0) {
    buf = dummy;
    size = sizeof dummy;
  }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = vsnprintf(buf, size, format, ap);
#pragma GCC diagnostic pop
  return n < 0 ? -1 : n;
}

int imsg_print(int kind, const void* table, int number, ...) {
  const char* format = message_text(table, number);
  if (!format) return -1;
  va_list ap;
  va_start(ap, number);
  va_list again;
  va_copy(again, ap);
  char small[1024];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  int n = vsnprintf(small, sizeof small, format, ap);
  std::vector<char> big;
  const char* text = small;
  if (n >= static_cast<int>(sizeof small)) {
    big.resize(static_cast<size_t>(n) + 1);
    vsnprintf(big.data(), big.size(), format, again);
    text = big.data();
  }
#pragma GCC diagnostic pop
  va_end(again);
  va_end(ap);
  if (n < 0) return -1;
  FILE* stream = kind == IMSG_KIND_ERROR ? stderr : stdout;
  // Messages are whole lines; one write keeps them together when several processes share a tty.
  size_t written = fwrite(text, 1, static_cast<size_t>(n), stream);
  fflush(stream);
  return written == static_cast<size_t>(n) ? n : -1;
}
