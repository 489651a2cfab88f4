// CM_Session: what the plug-in needs to talk to one tracker server as one user: base URL and
// database coordinates, the login (or a smart-card certificate label) and the persistent session
// cookie. A provider holds one session for the life of the process; every request object takes
// its own copy by assignment and hands new cookies back through UpdateCookie. Each copy owns its
// own CM_CookieJar on the same cookie file. Internal to the library; not thread-safe (the host
// calls one operation at a time). Codes: 0 success, 10001 storing the cookie failed, 10004
// setting up the server configuration failed.
#ifndef CM_PROVIDER_CM_SESSION_H
#define CM_PROVIDER_CM_SESSION_H

#include <memory>

#include <cm_mr_credential.h>
#include <sum_string.h>
#include "CM_Provider/cm_cookie_jar.h"

class CM_ProviderConfig;

class CM_Session {
 public:
  CM_Session();
  // Same as default construction followed by assignment.
  CM_Session(const CM_Session& other);
  ~CM_Session();
  // Copies the login fields and the certificate label; the target gets its own copy of the
  // other's cookie jar (or none when the other has none).
  CM_Session& operator=(const CM_Session& other);

  // Takes base URL, provider name, dbset and user database from config and creates the cookie
  // jar on <home>/.../CMI/CookieJar/<provider>/<dbset>/<userdb>. 0, or 10004 (null config).
  int init_server_config(const CM_ProviderConfig* config);
  // Fills user name and stored password from the credential store; a missing login leaves them
  // empty. Returns 0.
  int init_user_creds();
  // True when a stored login is to be used but cannot be: its file exists and does not read, or
  // its password no longer turns back (key file missing or replaced). Nothing may then be sent
  // with an empty password.
  bool login_unreadable() const;
  // Persists a new session cookie. 0, or 10001 when the jar failed or there is no jar.
  int UpdateCookie(const SUM_String& cookie);
  // The stored cookie, or an empty string when there is none or no jar.
  SUM_String GetCookie() const;

  SUM_String get_provider_name() const { return m_credential.get_provider_name(); }
  SUM_String get_dbset() const { return m_credential.get_dbset(); }
  SUM_String get_user_database_name() const { return m_credential.get_user_database_name(); }
  // Shorthands for the credential's fields that request objects read.
  SUM_String get_user_name() const { return m_credential.get_user_name(); }
  SUM_String get_user_password() const { return m_credential.get_user_password(); }
  SUM_String get_web_url() const { return m_credential.get_web_url(); }

  const CM_MRCredential& get_credential() const { return m_credential; }
  CM_MRCredential& get_credential() { return m_credential; }

  // Label of the client certificate; empty when a stored login is used.
  const SUM_String& get_cert_label() const { return m_cert_label; }
  void set_cert_label(const SUM_String& label) { m_cert_label = label; }

  // The session's own jar, or null before init_server_config.
  const CM_CookieJar* get_cookie_jar() const { return m_cookie_jar.get(); }

 private:
  CM_MRCredential m_credential;
  std::unique_ptr<CM_CookieJar> m_cookie_jar;
  SUM_String m_cert_label;
  bool m_login_file_bad = false;
};

#endif
