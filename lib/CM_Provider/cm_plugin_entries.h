// The plug-in's entry table: cm_getfunction and the five entry functions behind it. Each entry
// function checks the handle and hands the call to CM_MRProvider; none lets an exception out.
// The public host interface (function pointer types, cm_getfunction, cm_freereply) is
// include/cm_plugin.h; this header adds the entry functions themselves for the library's own
// use. Called by the host only; not thread-safe (one operation at a time).
#ifndef CM_PROVIDER_CM_PLUGIN_ENTRIES_H
#define CM_PROVIDER_CM_PLUGIN_ENTRIES_H

#include <cstdint>

#include <cm_plugin.h>

extern "C" {
std::int32_t cm_initialize(void** handle, const char* request, char** reply);
std::int32_t cm_associate(void* handle, const char* request, char** reply);
std::int32_t cm_disassociate(void* handle, const char* request, char** reply);
std::int32_t cm_commit(void* handle, const char* request, char** reply);
std::int32_t cm_validate(void* handle, const char* request, char** reply);
}

#endif
