/* The plug-in's host interface: what a host needs to load libcmmrv1_0.so and drive it. Plain C
   (C89 and later) and C++.

   A host resolves cm_getfunction (and cm_freereply) with dlsym, asks cm_getfunction for each of
   the five operations by exact name ("INITIALIZE", "ASSOCIATE", "DISASSOCIATE", "COMMIT",
   "VALIDATE") and converts the result to CM_InitFunction (INITIALIZE) or CM_OpFunction (the
   others), best with CM_ASSIGN_FUNCTION. Every operation stores a freshly allocated,
   NUL-terminated reply text through its last argument on every path; the host owns it and
   releases it with cm_freereply. Operations run on the caller's thread and must not be called
   concurrently. */
#ifndef CM_PLUGIN_H
#define CM_PLUGIN_H

#include <stdint.h>
#include <string.h>

#include "cm_export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* INITIALIZE: stores the provider handle (null on failure) through `handle`; 0 or -1. */
typedef int32_t (*CM_InitFunction)(void** handle, const char* request, char** reply);
/* ASSOCIATE, DISASSOCIATE (1 when scheduled, -1 on failure), COMMIT (0 or -1), VALIDATE (0).
   A null handle gives the plain reply "No memory." and -1. */
typedef int32_t (*CM_OpFunction)(void* handle, const char* request, char** reply);

/* The exported functions, as pointer types for hosts that look them up with dlsym. */
typedef void* (*CM_GetFunction)(const char* name);
typedef void (*CM_FreeReplyFunction)(char* reply);
/* The two message tables; their layout is the plug-in's own, so hosts only pass them on. */
struct imsg_table;
typedef const struct imsg_table* (*CM_MsgTableFunction)(void);
/* Prints the version line on standard output. */
typedef void (*CM_PrintVeridFunction)(void);

/* The entry function of operation `name` (exact, case-sensitive), or null. No side effects. */
CM_EXPORT void* cm_getfunction(const char* name);
/* Releases a reply text returned by any operation; null is ignored. */
CM_EXPORT void cm_freereply(char* reply);

/* Names under which a host looks the exported functions up with dlsym. */
#define CM_GETFUNCTION_SYMBOL "cm_getfunction"
#define CM_FREEREPLY_SYMBOL "cm_freereply"
#define CM_MR_MSG_TABLE_SYMBOL "_cm_mr_CM_Oslc_msg_table_adr"
#define CM_OSLC_MSG_TABLE_SYMBOL "_cm_oslc_CM_Oslc_msg_table_adr"
#define CM_PRINT_VERID_SYMBOL "libcmmrv1_0_print_verid"

/* Stores an untyped address (from dlsym or cm_getfunction) into the function pointer `fp`. ISO C
   has no conversion between object and function pointers, so the bytes are copied, as POSIX
   intends for dlsym; this keeps hosts built with -pedantic free of warnings. */
#define CM_ASSIGN_FUNCTION(fp, address)      \
  do {                                       \
    void* cm_address_ = (address);           \
    memcpy(&(fp), &cm_address_, sizeof(fp)); \
  } while (0)

#ifdef __cplusplus
}
#endif

#endif
