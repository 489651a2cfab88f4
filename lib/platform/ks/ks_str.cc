#include <cstring>

#include "platform/ks/ks.h"

int strutl_concat(char* dest, size_t size, int count, ...) {
  if (!dest || size == 0) return -1;
  size_t used = 0;
  int cut = 0;
  va_list ap;
  va_start(ap, count);
  for (int i = 0; i < count; ++i) {
    const char* piece = va_arg(ap, const char*);
    if (!piece || cut) continue;
    size_t len = strlen(piece);
    size_t room = size - 1 - used;
    if (len > room) {
      len = room;
      cut = 1;
    }
    memcpy(dest + used, piece, len);
    used += len;
  }
  va_end(ap);
  dest[used] = '\0';
  return cut;
}

int strutl_cpy_buf(char* dest, const char* src, size_t size) {
  if (!dest || size == 0) return -1;
  if (!src) src = "";
  size_t len = strnlen(src, size);
  int cut = 0;
  if (len >= size) {
    len = size - 1;
    cut = 1;
  }
  memcpy(dest, src, len);
  dest[len] = '\0';
  return cut;
}

int strutl_cvt_case_string(const char* src, int mode, int max, char* dest) {
  if (!dest || max < 0) return -1;
  if (!src) src = "";
  int i = 0;
  for (; i < max && src[i]; ++i) {
    char c = src[i];
    if (mode == 1) {
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    } else if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
    dest[i] = c;
  }
  dest[i] = '\0';
  return src[i] ? 1 : 0;
}
