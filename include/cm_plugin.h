// The plug-in's host interface: what a host needs to load libcmmrv1_0.so and drive it.
//
// A host resolves cm_getfunction (and cm_freereply) with dlsym, asks cm_getfunction for each of
// the five operations by exact name ("INITIALIZE", "ASSOCIATE", "DISASSOCIATE", "COMMIT",
// "VALIDATE") and casts the result to CM_InitFunction (INITIALIZE) or CM_OpFunction (the others).
// Every operation stores a freshly allocated, NUL-terminated reply text through its last argument
// on every path; the host owns it and releases it with cm_freereply. Operations run on the
// caller's thread and must not be called concurrently.
#ifndef CM_PLUGIN_H
#define CM_PLUGIN_H

#include <stdint.h>

#include "cm_export.h"

#ifdef __cplusplus
extern "C" {
#endif

// INITIALIZE: stores the provider handle (null on failure) through `handle`; 0 or -1.
typedef int32_t (*CM_InitFunction)(void** handle, const char* request, char** reply);
// ASSOCIATE, DISASSOCIATE (1 when scheduled, -1 on failure), COMMIT (0 or -1), VALIDATE (0).
// A null handle gives the plain reply "No memory." and -1.
typedef int32_t (*CM_OpFunction)(void* handle, const char* request, char** reply);

// The entry function of operation `name` (exact, case-sensitive), or null. No side effects.
CM_EXPORT void* cm_getfunction(const char* name);
// Releases a reply text returned by any operation; null is ignored.
CM_EXPORT void cm_freereply(char* reply);

// Names under which a host looks the two functions up with dlsym.
#define CM_GETFUNCTION_SYMBOL "cm_getfunction"
#define CM_FREEREPLY_SYMBOL "cm_freereply"

#ifdef __cplusplus
}
#endif

#endif
