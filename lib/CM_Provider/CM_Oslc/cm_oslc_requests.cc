// The tracker's requests: CM_RestUriGet (exported) and CM_RestUriPut, each fixing its method and
// speaking the tracker's protocol over the transport.
#include "CM_Provider/CM_Oslc/cm_oslc_protocol.h"
#include "CM_Provider/CM_Oslc/cm_rest_request.h"

#include "CM_Provider/cm_trace.h"

namespace {
const char kTag[] = "CMOSLC";
}  // namespace

CM_RestUriGet::CM_RestUriGet() {
  CM_TraceScope scope(kTag, "CM_RestUriGet", "CM_RestUriGet");
  SetProtocol(&cm_oslc_protocol());
}

CM_RestUriGet::CM_RestUriGet(const CM_RestUriGet& other) = default;

CM_RestUriGet& CM_RestUriGet::operator=(const CM_RestUriGet& other) = default;

CM_RestUriGet::~CM_RestUriGet() { CM_TraceScope scope(kTag, "CM_RestUriGet", "~CM_RestUriGet"); }

int CM_RestUriGet::Init() {
  CM_TraceScope scope(kTag, "CM_RestUriGet", "init");
  return CM_RestUri::Init(GET);
}

CM_RestUriPut::CM_RestUriPut() {
  CM_TraceScope scope(kTag, "CM_RestUriPut", "CM_RestUriPut");
  SetProtocol(&cm_oslc_protocol());
}

CM_RestUriPut::CM_RestUriPut(const CM_RestUriPut& other) = default;

CM_RestUriPut& CM_RestUriPut::operator=(const CM_RestUriPut& other) = default;

CM_RestUriPut::~CM_RestUriPut() { CM_TraceScope scope(kTag, "CM_RestUriPut", "~CM_RestUriPut"); }

int CM_RestUriPut::Init() {
  CM_TraceScope scope(kTag, "CM_RestUriPut", "init");
  return CM_RestUri::Init(PUT);
}
