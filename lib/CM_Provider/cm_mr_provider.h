// CM_MRProvider: one tracker connection as the host sees it, behind the handle that INITIALIZE
// returns. A process-wide registry keyed "name-userdb-dbset" (joined without escaping, compared
// byte for byte) holds every provider; providers are never destroyed while the process runs, so a
// handle stays valid for its life. Each provider owns its configuration, its scheduled work (the
// action map) and its server session.
//
// Choices this implementation makes where the behaviour was left open:
// - DISASSOCIATE with a request that yields no change data replies status 10002 with the same
//   text as ASSOCIATE, "Format error or missing data in provider context.": nothing was parsed
//   that could fill the "Disassociate action failed" message.
// - set_session passes on the status of the session's server set-up; INITIALIZE then replies that
//   status with "Session initialize failed for server at "<baseurl>"." and still returns the
//   handle. The login (certificate label or stored credentials) is set up either way.
// - commit_done is cleared by INITIALIZE and checked by COMMIT, but nothing sets it: a COMMIT
//   never skips scheduled work, and a repeated COMMIT answers a plain success.
// - Method labels longer than 1023 bytes are cut (never overrun) in trace lines.
//
// Called only through the entry functions of cm_plugin.cc (and by tests); not thread-safe: the
// host calls one operation at a time. No method throws.
#ifndef CM_PROVIDER_CM_MR_PROVIDER_H
#define CM_PROVIDER_CM_MR_PROVIDER_H

#include <memory>
#include <string>

#include <sum_string.h>
#include "CM_Provider/cm_action_map.h"
#include "CM_Provider/cm_session.h"

class CM_ProviderConfig;

class CM_MRProvider {
 public:
  // Takes ownership of `config` (not null).
  explicit CM_MRProvider(CM_ProviderConfig* config);
  virtual ~CM_MRProvider();
  CM_MRProvider(const CM_MRProvider&) = delete;
  CM_MRProvider& operator=(const CM_MRProvider&) = delete;

  // INITIALIZE: the provider for the request's connection (null on failure); always stores a
  // newly allocated reply through `reply`.
  static CM_MRProvider* initialize(const char* request, char** reply);
  // The registered provider for config's key, created and registered when there is none. A new
  // provider takes the configuration (config is left null); an existing one leaves it with the
  // caller. Null only when memory is exhausted.
  static CM_MRProvider* get_instance(std::unique_ptr<CM_ProviderConfig>& config);
  // "name-userdb-dbset".
  static std::string provider_key(const CM_ProviderConfig& config);

  // Sets the session up from the stored configuration, then either the certificate label or the
  // stored login. Returns the server set-up status (0 on success).
  int set_session();
  // First line of <home>/.cmi_cert_label, or empty when missing, unreadable or empty.
  SUM_String get_certificate_label();

  // ASSOCIATE / DISASSOCIATE: 1 when scheduled, -1 on failure; always store a reply.
  int associate(const char* request, char** reply);
  int disassociate(const char* request, char** reply);
  // Files the action under its record id (taking it) and traces the map.
  void add_action_to_map(std::unique_ptr<CM_Action> action);
  void dump_action_map();

  // COMMIT: 0 when everything was applied or there was nothing to do, -1 otherwise; the action
  // map is empty afterwards on every path.
  int commit(const char* request, char** reply);
  // VALIDATE: always 0 and a plain success reply; reads nothing.
  int validate(const char* request, char** reply);

  const CM_ProviderConfig& get_config() const { return *m_config; }
  const CM_ActionMap& get_action_map() const { return m_action_map; }
  const CM_Session& get_session() const { return m_session; }

 private:
  int schedule(CM_ActionType type, const char* request, char** reply);

  std::unique_ptr<CM_ProviderConfig> m_config;
  CM_ActionMap m_action_map;
  CM_Session m_session;
};

// Stores a new[]-allocated copy of `text` (length + 1 bytes) through reply. Returns false (and
// stores null) only when memory is exhausted.
bool cm_store_reply(const std::string& text, char** reply);

#endif
