// The tracker's side of an HTTP request: the OSLC header lines and the reading of its error
// bodies (oslc_cm:message elements). Used by the request variants (CM_RestUriGet,
// CM_RestUriPut); stateless, any thread.
#ifndef CM_PROVIDER_CM_OSLC_CM_OSLC_PROTOCOL_H
#define CM_PROVIDER_CM_OSLC_CM_OSLC_PROTOCOL_H

#include "CM_Provider/CM_Oslc/cm_rest_protocol.h"

const CM_RestProtocol& cm_oslc_protocol();

#endif
