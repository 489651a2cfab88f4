// The library's status codes, one name per meaning, 0 success everywhere. The same value can mean
// different things in different layers (1002: an XML item, a login, the cookie jar or a record's
// link property is missing), so each layer names its own. The HTTP request's codes (CM_REST_*)
// are public and live in <cm_rest_uri.h>. Any module may include this header.
#ifndef CM_PROVIDER_CM_STATUS_H
#define CM_PROVIDER_CM_STATUS_H

#include <cstdint>

// Provider and parser layer: the only codes the host sees, inside the reply.
enum : std::int32_t {
  CM_STATUS_OK = 0,
  CM_STATUS_NO_RECORD = 10001,
  CM_STATUS_FORMAT = 10002,
  CM_STATUS_NO_PROVIDER = 10003,
  CM_STATUS_NO_MEMORY = 10004,
  CM_STATUS_MISSING_MEMBER = 10005,
  CM_STATUS_ENGINE = 10006,
  CM_STATUS_COMMIT_FAILED = 10007,
};

// Association engine (same range as the provider's).
enum {
  CM_MR_OK = 0,
  CM_MR_FAILED = 10001,
  CM_MR_NOT_FOUND = 10005,
  CM_MR_AUTH_FAILED = 10006,
  CM_MR_UNCHANGED = 10008,
};

// Server session.
enum {
  CM_SESSION_COOKIE_FAILED = 10001,  // the jar could not store the cookie, or there is no jar
  CM_SESSION_NO_CONFIG = 10004,      // no configuration, or no memory for the jar
};

// File stores: the cookie jar, the credential store and the credential list.
enum {
  CM_STORE_FAILED = 1001,       // a folder, the file or the stored-form transform failed
  CM_JAR_ABSENT = 1002,         // no cookie folder (when only reading), or the file does not parse
  CM_LOGIN_NOT_FOUND = 1002,    // no login file, or it is empty or does not parse
  CM_LIST_NO_MEMORY = 1001,     // a credential list could not grow
  CM_LIST_OUT_OF_RANGE = 1072,  // a position outside a credential list
};

// XML layer: failure already printed, item not found (quiet), call in the wrong state.
enum {
  CM_XML_OK = 0,
  CM_XML_REPORTED = 1001,
  CM_XML_NOT_FOUND = 1002,
  CM_XML_INTERNAL = 1072,
};

// OSLC record read and update.
enum {
  CM_OSLC_NO_PROPERTY = 1002,         // the record has no link property at all
  CM_OSLC_BAD_ANSWER = 20001,         // the answer is not the expected RDF/XML, or has no address
  CM_OSLC_COOKIE_NOT_STORED = 20001,  // the session could not keep the answer's cookie
  CM_OSLC_BAD_DOCUMENT = 20001,       // the update's document could not be built
  CM_OSLC_UPDATE_GONE = 20001,        // the record to update answered "not found"
  // The record holds links that cannot all be read (no rdf:ID, no description, no title, no
  // resource, or links split by other properties). Kept apart from CM_OSLC_NO_PROPERTY so that a
  // partial set is never mistaken for an empty one.
  CM_OSLC_LINKS_UNREADABLE = 20001,
};

#endif
