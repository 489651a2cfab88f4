#include "CM_Provider/cm_plugin_entries.h"

#include <cstring>
#include <new>
#include <type_traits>

#include "CM_Provider/cm_mr_provider.h"
#include "CM_Provider/cm_trace.h"

// The host calls these through the public pointer types: a drifting signature must not build.
static_assert(std::is_same<decltype(&cm_initialize), CM_InitFunction>::value, "INITIALIZE");
static_assert(std::is_same<decltype(&cm_associate), CM_OpFunction>::value, "ASSOCIATE");
static_assert(std::is_same<decltype(&cm_disassociate), CM_OpFunction>::value, "DISASSOCIATE");
static_assert(std::is_same<decltype(&cm_commit), CM_OpFunction>::value, "COMMIT");
static_assert(std::is_same<decltype(&cm_validate), CM_OpFunction>::value, "VALIDATE");
static_assert(std::is_same<decltype(&cm_getfunction), CM_GetFunction>::value, "cm_getfunction");
static_assert(std::is_same<decltype(&cm_freereply), CM_FreeReplyFunction>::value, "cm_freereply");

namespace {

const char kNoMemory[] = "No memory.";

// Best effort when an operation could not produce its reply: the plain "No memory." text, or
// null when even that cannot be allocated.
void store_no_memory(char** reply) {
  if (!reply) return;
  char* text = new (std::nothrow) char[sizeof kNoMemory];
  if (text) std::memcpy(text, kNoMemory, sizeof kNoMemory);
  *reply = text;
}

using Operation = int (CM_MRProvider::*)(const char*, char**);

std::int32_t dispatch(void* handle, const char* request, char** reply, Operation op) {
  if (!reply) return -1;
  *reply = nullptr;
  if (!handle) {
    store_no_memory(reply);
    return -1;
  }
  CM_TraceBatch batch;  // one operation's trace lines in few writes
  try {
    return (static_cast<CM_MRProvider*>(handle)->*op)(request ? request : "", reply);
  } catch (...) {
    // Only allocation can throw below the provider; the provider keeps its state consistent.
    if (*reply) delete[] * reply;
    store_no_memory(reply);
    return -1;
  }
}

struct Entry {
  const char* name;
  void* function;
};

// Compared in this order; the first exact match wins.
const Entry kEntries[] = {
    {"INITIALIZE", reinterpret_cast<void*>(&cm_initialize)},
    {"ASSOCIATE", reinterpret_cast<void*>(&cm_associate)},
    {"DISASSOCIATE", reinterpret_cast<void*>(&cm_disassociate)},
    {"COMMIT", reinterpret_cast<void*>(&cm_commit)},
    {"VALIDATE", reinterpret_cast<void*>(&cm_validate)},
};

}  // namespace

extern "C" {

CM_EXPORT void* cm_getfunction(const char* name) {
  if (!name) return nullptr;
  for (const Entry& e : kEntries) {
    if (std::strcmp(name, e.name) == 0) return e.function;
  }
  return nullptr;
}

CM_EXPORT void cm_freereply(char* reply) { delete[] reply; }

std::int32_t cm_initialize(void** handle, const char* request, char** reply) {
  if (handle) *handle = nullptr;
  if (!reply) return -1;
  *reply = nullptr;
  CM_MRProvider* provider = nullptr;
  CM_TraceBatch batch;
  try {
    provider = CM_MRProvider::initialize(request ? request : "", reply);
  } catch (...) {
    if (*reply) delete[] * reply;
    store_no_memory(reply);
    provider = nullptr;
  }
  if (handle) *handle = provider;
  return provider ? 0 : -1;
}

std::int32_t cm_associate(void* handle, const char* request, char** reply) {
  return dispatch(handle, request, reply, &CM_MRProvider::associate);
}

std::int32_t cm_disassociate(void* handle, const char* request, char** reply) {
  return dispatch(handle, request, reply, &CM_MRProvider::disassociate);
}

std::int32_t cm_commit(void* handle, const char* request, char** reply) {
  return dispatch(handle, request, reply, &CM_MRProvider::commit);
}

std::int32_t cm_validate(void* handle, const char* request, char** reply) {
  return dispatch(handle, request, reply, &CM_MRProvider::validate);
}

}  // extern "C"
