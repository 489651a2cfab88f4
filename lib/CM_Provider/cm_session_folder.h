// The private folders of the session's files (cookie jar and login store). Called by
// CM_CookieJar and CM_MRCredential only.
#ifndef CM_PROVIDER_CM_SESSION_FOLDER_H
#define CM_PROVIDER_CM_SESSION_FOLDER_H

#include "sum_string.h"

class CM_TraceScope;

// Makes (with create) or checks the folders from base down to dir: each the user's own and 0700
// (tightened when looser); a folder of another user is refused. Creation may lose a race with a
// removal of emptied folders: it is tried again a bounded number of times. Returns the
// fileutl_secure_dirs result; on failure the problem is traced ("<kind> directory <folder> cannot
// be used: <problem>"), *bad (when given) names the folder at fault and errno holds the cause
// (EPERM for a folder of another user, ENOTDIR for something else in the way).
int cm_secure_session_folder(const char* kind, const SUM_String& base, const SUM_String& dir,
                             bool create, const CM_TraceScope& trace, SUM_String* bad);

#endif
