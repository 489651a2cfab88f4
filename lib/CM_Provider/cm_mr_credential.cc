#include "cm_mr_credential.h"

#include <cerrno>
#include <cstring>
#include <new>

#include "CM_Provider/cm_status.h"
#include "CM_Provider/cm_stored_form.h"
#include "CM_Provider/cm_trace.h"
#include "cm_mr_credential_list.h"
#include "platform/ks/ks.h"
#include "platform/sum/xml_element.h"

namespace {

const char kTag[] = "CMMR";
const char kClass[] = "CM_MRCredential";
// Bound on retries when a concurrent removal pulls a folder away.
const int kWriteRetries = 5;
// What fileutl_rm answers when it could not delete.
const int kRmFailed = -4;

// Makes (with create) or checks the store's folders from its base down: each the user's own and
// 0700 (tightened when looser); a folder of another user is refused. Creation may lose a race
// with a removal of emptied folders: try again. On failure errno holds the cause (EPERM for a
// folder of another user, ENOTDIR for something else in the way), also traced.
bool secure_folder(const SUM_String& base, const SUM_String& dir, bool create,
                   const CM_TraceScope& trace) {
  for (int attempt = 0;; ++attempt) {
    SUM_String bad(dir);
    const int code = fileutl_secure_dirs(base.c_str(), dir.c_str(), 1, create ? 1 : 0, &bad);
    if (code == FILEUTL_DIR_OK) return true;
    int cause = errno;
    if (create && code == FILEUTL_DIR_ERRNO && cause == ENOENT && attempt < kWriteRetries) continue;
    trace.print_always("Credential directory %s cannot be used: %s", bad.c_str(),
                       fileutl_dir_problem(code, cause));
    if (code == FILEUTL_DIR_NOT_OWNED) cause = EPERM;
    if (code == FILEUTL_DIR_NOT_DIR) cause = ENOTDIR;
    errno = cause;
    return false;
  }
}

bool is_dot_entry(const SUM_String& name) { return name == "." || name == ".."; }

// A file being replaced atomically shows for a moment as ".<name>.tmpXXXXXX" beside it.
bool is_temporary(const SUM_String& name) {
  return name.GetLength() > 0 && name[0] == '.' && name.Find(".tmp") > 0;
}

}  // namespace

const char* const CM_MRCredential::MRUSER_PATH = "MRUser";

CM_MRCredential::CM_MRCredential() = default;

CM_MRCredential::CM_MRCredential(const SUM_String& user_name, const SUM_String& password,
                                 const SUM_String& provider_name,
                                 const SUM_String& user_database_name, const SUM_String& dbset,
                                 const SUM_String& web_url)
    : m_user_name(user_name),
      m_provider_name(provider_name),
      m_user_database_name(user_database_name),
      m_dbset(dbset),
      m_web_url(web_url) {
  errno = 0;
  if (Encrypt(password, m_encrypted_password) != 0) m_error_number = errno;
  set_file_path();
  set_file_name();
}

CM_MRCredential::CM_MRCredential(const SUM_String& user_name, const SUM_String& password,
                                 const SUM_String& provider_name,
                                 const SUM_String& user_database_name, const SUM_String& dbset)
    : CM_MRCredential(user_name, password, provider_name, user_database_name, dbset, SUM_String()) {
}

CM_MRCredential::CM_MRCredential(const CM_MRCredential& other) = default;
CM_MRCredential& CM_MRCredential::operator=(const CM_MRCredential& other) = default;
CM_MRCredential::~CM_MRCredential() = default;

int CM_MRCredential::operator==(const CM_MRCredential& other) const {
  if (m_user_name.CompareNoCase(other.m_user_name.c_str()) != 0) return 0;
  if (m_user_database_name != other.m_user_database_name) return 0;
  if (m_dbset != other.m_dbset) return 0;
  SUM_String mine;
  SUM_String theirs;
  (void)GetDecryptedPass(mine);
  (void)other.GetDecryptedPass(theirs);
  if (mine != theirs) return 0;
  return m_provider_name == other.m_provider_name ? 1 : 0;
}

int CM_MRCredential::operator!=(const CM_MRCredential& other) const {
  return *this == other ? 0 : 1;
}

SUM_String CM_MRCredential::get_user_name() const { return m_user_name; }
void CM_MRCredential::set_user_name(const SUM_String& value) { m_user_name = value; }
SUM_String CM_MRCredential::get_provider_name() const { return m_provider_name; }
void CM_MRCredential::set_provider_name(const SUM_String& value) { m_provider_name = value; }
SUM_String CM_MRCredential::get_user_database_name() const { return m_user_database_name; }
void CM_MRCredential::set_user_database_name(const SUM_String& value) {
  m_user_database_name = value;
}
SUM_String CM_MRCredential::get_dbset() const { return m_dbset; }
void CM_MRCredential::set_dbset(const SUM_String& value) { m_dbset = value; }
SUM_String CM_MRCredential::get_web_url() const { return m_web_url; }
void CM_MRCredential::set_web_url(const SUM_String& value) { m_web_url = value; }
SUM_String CM_MRCredential::get_file_path() const { return m_file_path; }
void CM_MRCredential::set_file_path(const SUM_String& value) { m_file_path = value; }
SUM_String CM_MRCredential::get_file_name() const { return m_file_name; }
SUM_String CM_MRCredential::get_encrypt_pw() const { return m_encrypted_password; }
int CM_MRCredential::get_error_number() const { return m_error_number; }

void CM_MRCredential::set_user_password(const SUM_String& password) {
  (void)Encrypt(password, m_encrypted_password);
}

SUM_String CM_MRCredential::get_user_password() const {
  SUM_String plain;
  if (GetDecryptedPass(plain) != 0) return SUM_String();
  return plain;
}

SUM_String CM_MRCredential::get_default_path() { return sysutl_cmi_dir() + "/" + MRUSER_PATH; }

SUM_String CM_MRCredential::get_dir_path(const SUM_String& provider_name,
                                         const SUM_String& dbset) const {
  return m_file_path + "/" + provider_name + "/" + dbset;
}

SUM_String CM_MRCredential::get_full_path(const SUM_String& provider_name,
                                          const SUM_String& dbset) const {
  return get_dir_path(provider_name, dbset) + "/" + m_file_name;
}

void CM_MRCredential::set_file_path() { m_file_path = get_default_path(); }
void CM_MRCredential::set_file_name() { m_file_name = m_user_database_name; }
bool CM_MRCredential::is_null() const { return m_provider_name.GetLength() == 0; }

int CM_MRCredential::GetDecryptedPass(SUM_String& out) const {
  CM_TraceScope trace(kTag, kClass, "GetDecryptedPass");
  return Decrypt(m_encrypted_password, out);
}

int CM_MRCredential::Encrypt(const SUM_String& in, SUM_String& out) {
  CM_TraceScope trace(kTag, kClass, "Encrypt");
  return cm_to_stored_form(in, out);
}

int CM_MRCredential::Decrypt(const SUM_String& in, SUM_String& out) {
  CM_TraceScope trace(kTag, kClass, "Decrypt");
  return cm_from_stored_form(in, out);
}

int CM_MRCredential::add() {
  CM_TraceScope trace(kTag, kClass, "add");
  try {
    trace.print(4, "add: PROVIDER NAME: %s\n", m_provider_name.c_str());
    trace.print(4, "add: DB: %s\n", m_user_database_name.c_str());
    trace.print(4, "add: DBSET: %s\n", m_dbset.c_str());
    trace.print(4, "add: USER: %s\n", m_user_name.c_str());
    trace.print(4, "add: MR Credential path: %s\n", m_file_path.c_str());

    XML_Element root("CMCredential");
    root.sub_elements().append(XML_Element("UserName", m_user_name));
    root.sub_elements().append(XML_Element("Password", m_encrypted_password));
    SUM_String text;
    if (root.string(text, 0) != 0) return CM_STORE_FAILED;
    trace.print(4, "XML credential string: %s\n", text.c_str());

    SUM_String dir = get_dir_path(m_provider_name, m_dbset);
    SUM_String full = get_full_path(m_provider_name, m_dbset);
    if (!fileutl_is_within(full.c_str(), m_file_path.c_str())) {
      trace.print_always("add: %s is not inside %s\n", full.c_str(), m_file_path.c_str());
      m_error_number = EINVAL;
      return CM_STORE_FAILED;
    }
    trace.print_always(fileutl_exists(dir.c_str(), 0) ? "add: Credential directory exists\n"
                                                      : "add: Creating credential directory\n");
    if (!secure_folder(m_file_path, dir, true, trace)) {
      m_error_number = errno;
      return CM_STORE_FAILED;
    }
    if (!fileutl_exists(full.c_str(), 0))
      trace.print_always("add: Creating new file\n");
    else
      trace.print_always("add: Updating existing file\n");

    // Another process removing its last login here may delete the folders between our
    // creating them and the write: make them again and retry, a bounded number of times.
    for (int attempt = 0; strutl_write(text.c_str(), full.c_str(), 0, 0) != 0; ++attempt) {
      m_error_number = errno;
      trace.print_always("add: Cannot write %s: %s\n", full.c_str(), strerror(m_error_number));
      if (attempt >= kWriteRetries || !secure_folder(m_file_path, dir, true, trace))
        return CM_STORE_FAILED;
    }
    m_error_number = 0;
    trace.print_always("add: Credentials stored for provider name: %s\n", m_provider_name.c_str());
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_STORE_FAILED;
  }
}

int CM_MRCredential::lookup(const SUM_String& provider_name, const SUM_String& dbset,
                            const SUM_String& user_database_name, const SUM_String& path) {
  CM_TraceScope trace(kTag, kClass, "lookup");
  try {
    m_provider_name = provider_name;
    m_dbset = dbset;
    m_user_database_name = user_database_name;
    if (m_file_path.GetLength() == 0) {
      if (path.GetLength() != 0)
        m_file_path = path;
      else
        set_file_path();
      set_file_name();
    }

    int result = CM_LOGIN_NOT_FOUND;
    if (fileutl_exists(m_file_path.c_str(), 0)) {
      set_file_name();
      SUM_String full = get_full_path(m_provider_name, m_dbset);
      if (!fileutl_is_within(full.c_str(), m_file_path.c_str())) {
        trace.print_always("lookup(): %s is not inside %s\n", full.c_str(), m_file_path.c_str());
      } else if (fileutl_exists(full.c_str(), 0) &&
                 !secure_folder(m_file_path, get_dir_path(m_provider_name, m_dbset), false,
                                trace)) {
        result = CM_STORE_FAILED;  // there, but in a folder that cannot be trusted
      } else if (fileutl_exists(full.c_str(), 0)) {
        SUM_String text = strutl_read(1, full.c_str(), 0, 1, 0);
        XML_Element root;
        // A file that is there but does not read is damaged, not missing.
        result = CM_STORE_FAILED;
        if (text.GetLength() != 0 && XML_Element::parse(text.c_str(), root) == 0 &&
            root.sub_elements().count() >= 2) {
          // By position, not by name: the first child is the user, the second the password.
          m_user_name = root.sub_elements()[0].text();
          m_encrypted_password = root.sub_elements()[1].text();
          result = 0;
        }
      }
    }
    trace.print_always("lookup(): DBSet=\"%s\"\n", m_dbset.c_str());
    trace.print_always("lookup(): DB=\"%s\"\n", m_user_database_name.c_str());
    trace.print_always("lookup(): USER=\"%s\"\n", m_user_name.c_str());
    return result;
  } catch (const std::bad_alloc&) {
    return CM_STORE_FAILED;
  }
}

int CM_MRCredential::remove() {
  CM_TraceScope trace(kTag, kClass, "remove");
  try {
    if (is_null()) return 0;
    SUM_String full = get_full_path(m_provider_name, m_dbset);
    if (!fileutl_is_within(full.c_str(), m_file_path.c_str())) return CM_STORE_FAILED;
    if (!fileutl_exists(full.c_str(), 0)) return 0;
    // A concurrent remove (and re-add) of the same login may get in between; the file is
    // gone when a removal succeeds or it no longer exists.
    for (int attempt = 0; fileutl_exists(full.c_str(), 0); ++attempt) {
      if (fileutl_rm(full.c_str(), 16) != kRmFailed) break;
      if (attempt >= kWriteRetries) return CM_STORE_FAILED;
    }

    // Innermost first; a folder that still holds other logins refuses and ends the walk.
    const SUM_String folders[] = {get_dir_path(m_provider_name, m_dbset),
                                  m_file_path + "/" + m_provider_name, m_file_path};
    for (const SUM_String& folder : folders) {
      if (!fileutl_exists(folder.c_str(), 0)) continue;
      if (fileutl_rm(folder.c_str(), 16) == kRmFailed) break;
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_STORE_FAILED;
  }
}

int CM_MRCredential::lookup(CM_MRCredentialList& list) {
  try {
    return GetAllForUser(list, get_default_path());
  } catch (const std::bad_alloc&) {
    return CM_STORE_FAILED;
  }
}

int CM_MRCredential::GetAllForUser(CM_MRCredentialList& list, const SUM_String& base) {
  CM_TraceScope trace(kTag, kClass, "GetAllForUser");
  if (!fileutl_exists(base.c_str(), 0)) return 0;
  SUM_StringList providers;
  int n_providers = fileutl_read_whole_dir(base.c_str(), 1, &providers);
  for (int p = 0; p < n_providers; ++p) {
    const SUM_String& provider = providers[p];
    if (is_dot_entry(provider)) continue;
    SUM_StringList dbsets;
    int n_dbsets = fileutl_read_whole_dir((base + "/" + provider).c_str(), 1, &dbsets);
    for (int s = 0; s < n_dbsets; ++s) {
      const SUM_String& dbset = dbsets[s];
      if (is_dot_entry(dbset)) continue;
      SUM_StringList userdbs;
      int n_userdbs =
          fileutl_read_whole_dir((base + "/" + provider + "/" + dbset).c_str(), 1, &userdbs);
      for (int u = 0; u < n_userdbs; ++u) {
        const SUM_String& userdb = userdbs[u];
        if (is_dot_entry(userdb) || is_temporary(userdb)) continue;
        CM_MRCredential credential;
        if (credential.lookup(provider, dbset, userdb, base) == 0) {
          int code = list.insert(credential, list.length());
          if (code != 0) return code;
        }
      }
    }
  }
  return 0;
}
