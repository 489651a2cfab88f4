#include "CM_Provider/cm_session_folder.h"

#include <cerrno>

#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

namespace {

const int kRetries = 5;

}  // namespace

int cm_secure_session_folder(const char* kind, const SUM_String& base, const SUM_String& dir,
                             bool create, const CM_TraceScope& trace, SUM_String* bad) {
  for (int attempt = 0;; ++attempt) {
    SUM_String at(dir);
    const int code = fileutl_secure_dirs(base.c_str(), dir.c_str(), 1, create ? 1 : 0, &at);
    if (code == FILEUTL_DIR_OK) return code;
    int cause = errno;
    if (create && code == FILEUTL_DIR_ERRNO && cause == ENOENT && attempt < kRetries) continue;
    trace.print_always("%s directory %s cannot be used: %s", kind, at.c_str(),
                       fileutl_dir_problem(code, cause));
    if (code == FILEUTL_DIR_NOT_OWNED) cause = EPERM;
    if (code == FILEUTL_DIR_NOT_DIR) cause = ENOTDIR;
    if (bad) *bad = at;
    errno = cause;
    return code;
  }
}
