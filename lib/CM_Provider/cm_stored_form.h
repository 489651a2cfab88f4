// The stored form of passwords and cookies: the platform's storing transform, sized for one file
// value. Used by the cookie jar and the credential store; an empty text stays empty.
#ifndef CM_PROVIDER_CM_STORED_FORM_H
#define CM_PROVIDER_CM_STORED_FORM_H

#include "CM_Provider/cm_status.h"
#include "platform/ks/ks.h"
#include "sum_string.h"

// 0, or 1001 when the transform refuses the text (too long, no key).
inline int cm_to_stored_form(const SUM_String& in, SUM_String& out) {
  out.Empty();
  if (in.GetLength() == 0) return 0;
  char buf[256] = {0};
  if (strutl_extract_head(in.c_str(), buf, sizeof buf - 1) != 0) return CM_STORE_FAILED;
  out = buf;
  return 0;
}

// 0, or 1001 when the stored text is damaged or the key is missing or different.
inline int cm_from_stored_form(const SUM_String& in, SUM_String& out) {
  if (in.GetLength() == 0) {
    out = in;
    return 0;
  }
  char buf[256] = {0};
  if (strutl_extract_tail(in.c_str(), buf, sizeof buf - 1) != 0) return CM_STORE_FAILED;
  out = buf;
  return 0;
}

#endif
