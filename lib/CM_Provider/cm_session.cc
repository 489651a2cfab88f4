#include "CM_Provider/cm_session.h"

#include <new>

#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_status.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"

namespace {

const char kTag[] = "CMMR";
const char kClass[] = "CM_Session";

}  // namespace

CM_Session::CM_Session() = default;

CM_Session::CM_Session(const CM_Session& other) { *this = other; }

CM_Session::~CM_Session() {
  CM_TraceScope trace(kTag, kClass, "~CM_Session");
  m_cookie_jar.reset();
}

CM_Session& CM_Session::operator=(const CM_Session& other) {
  CM_TraceScope trace(kTag, kClass, "operator=");
  if (this == &other) return *this;
  m_credential = other.m_credential;
  if (other.m_cookie_jar)
    m_cookie_jar = std::make_unique<CM_CookieJar>(*other.m_cookie_jar);
  else
    m_cookie_jar.reset();
  m_cert_label = other.m_cert_label;
  m_login_file_bad = other.m_login_file_bad;
  return *this;
}

int CM_Session::init_server_config(const CM_ProviderConfig* config) {
  CM_TraceScope trace(kTag, kClass, "init_server_config");
  if (!config) return CM_SESSION_NO_CONFIG;
  try {
    m_credential.set_web_url(config->get_base_url());
    m_credential.set_user_database_name(config->get_userdb());
    m_credential.set_dbset(config->get_dbset());
    m_credential.set_provider_name(config->get_name());

    SUM_String folder = sysutl_cmi_dir() + "/CookieJar/" + m_credential.get_provider_name() + "/" +
                        m_credential.get_dbset();
    trace.print(2, "Cookie jar path %s", folder.c_str());
    std::unique_ptr<CM_CookieJar> jar(
        new (std::nothrow) CM_CookieJar(folder, m_credential.get_user_database_name()));
    if (!jar) return CM_SESSION_NO_CONFIG;
    jar->set_element_name("Cookie");
    m_cookie_jar = std::move(jar);
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_SESSION_NO_CONFIG;
  }
}

int CM_Session::init_user_creds() {
  CM_TraceScope trace(kTag, kClass, "init_user_creds");
  try {
    SUM_String provider = m_credential.get_provider_name();
    SUM_String dbset = m_credential.get_dbset();
    SUM_String userdb = m_credential.get_user_database_name();
    trace.print(4, "Lookup of creds for %s, %s, %s", provider.c_str(), dbset.c_str(),
                userdb.c_str());
    // A missing login is not an error here: the request will fail to authenticate and say so.
    // A login file that is there and does not read is, at COMMIT.
    const int status = m_credential.lookup(provider, dbset, userdb, SUM_String());
    m_login_file_bad = status == CM_STORE_FAILED;
    if (m_login_file_bad) trace.print_always("The stored login cannot be read");
  } catch (const std::bad_alloc&) {
  }
  return 0;
}

bool CM_Session::login_unreadable() const {
  if (m_cert_label.GetLength() > 0) return false;
  if (m_login_file_bad) return true;
  // The stored form of a password is never empty, and never turns back into an empty one.
  return m_credential.get_encrypt_pw().GetLength() > 0 &&
         m_credential.get_user_password().GetLength() == 0;
}

int CM_Session::UpdateCookie(const SUM_String& cookie) {
  CM_TraceScope trace(kTag, kClass, "UpdateCookie");
  if (!m_cookie_jar) return CM_SESSION_COOKIE_FAILED;
  int code = m_cookie_jar->set_cookie(cookie);
  trace.print(4, "Return from set_cookie = %d", code);
  return code != 0 ? CM_SESSION_COOKIE_FAILED : 0;
}

SUM_String CM_Session::GetCookie() const {
  if (!m_cookie_jar) return SUM_String();
  return m_cookie_jar->get_cookie();
}
