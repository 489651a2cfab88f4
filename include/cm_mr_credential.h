// CM_MRCredential: one stored tracker login (user name and password for a provider, database set
// and user database) and the per-user file store that keeps such logins under the home folder.
// A plain value; it holds no open file. The password is held and written only in stored
// (transformed) form and turned back only by get_user_password. Exported: the plug-in uses it for
// its own session, and other programs that link libcmmrv1_0.so use it to add, list and remove
// logins. No method throws; store operations return 0 on success, 1001 when a folder, a file or
// the transform failed, 1002 when the login was not found or its file is unreadable.
#ifndef CM_MR_CREDENTIAL_H
#define CM_MR_CREDENTIAL_H

#include "cm_export.h"
#include "sum_string.h"

class CM_MRCredentialList;

class CM_EXPORT CM_MRCredential {
 public:
  // Folder name of the store inside the per-user product folder.
  static const char* const MRUSER_PATH;

  CM_MRCredential();
  // The password is stored transformed; a password that cannot be transformed (too long, no key)
  // leaves the stored form empty. File path is the default store, file name the user database.
  CM_MRCredential(const SUM_String& user_name, const SUM_String& password,
                  const SUM_String& provider_name, const SUM_String& user_database_name,
                  const SUM_String& dbset, const SUM_String& web_url);
  CM_MRCredential(const SUM_String& user_name, const SUM_String& password,
                  const SUM_String& provider_name, const SUM_String& user_database_name,
                  const SUM_String& dbset);
  CM_MRCredential(const CM_MRCredential& other);
  CM_MRCredential& operator=(const CM_MRCredential& other);
  virtual ~CM_MRCredential();

  // 1 when user names match ignoring case and user database, dbset, decrypted password and
  // provider match exactly; web URL, file path and file name are not compared. Else 0.
  int operator==(const CM_MRCredential& other) const;
  int operator!=(const CM_MRCredential& other) const;

  SUM_String get_user_name() const;
  void set_user_name(const SUM_String& value);
  SUM_String get_provider_name() const;
  void set_provider_name(const SUM_String& value);
  SUM_String get_user_database_name() const;
  void set_user_database_name(const SUM_String& value);
  SUM_String get_dbset() const;
  void set_dbset(const SUM_String& value);
  SUM_String get_web_url() const;
  void set_web_url(const SUM_String& value);
  // Base folder of the store this login is read from and written to.
  SUM_String get_file_path() const;
  void set_file_path(const SUM_String& value);
  SUM_String get_file_name() const;
  // The stored (transformed) password.
  SUM_String get_encrypt_pw() const;
  // Stores the transformed form of the plain password (empty when the transform fails).
  void set_user_password(const SUM_String& password);
  // The plain password, or an empty string when the stored form cannot be turned back.
  SUM_String get_user_password() const;

  // The cause (an errno value) of the last failure to store this login or its password; 0 when
  // none is known.
  int get_error_number() const;

  // Writes this login's file (replacing an existing one atomically), creating its folders.
  int add();
  // Reads the login of provider/dbset/user database into this object. With an empty path and
  // no file path set yet, the default store is used. 1002 when there is no login file, 1001
  // when there is one that cannot be read.
  int lookup(const SUM_String& provider_name, const SUM_String& dbset,
             const SUM_String& user_database_name, const SUM_String& path);
  // Deletes this login's file and then each folder above it that it leaves empty.
  int remove();
  // Appends every stored login of the current user to list.
  static int lookup(CM_MRCredentialList& list);

 private:
  static SUM_String get_default_path();
  SUM_String get_dir_path(const SUM_String& provider_name, const SUM_String& dbset) const;
  SUM_String get_full_path(const SUM_String& provider_name, const SUM_String& dbset) const;
  void set_file_path();
  void set_file_name();
  bool is_null() const;
  int GetDecryptedPass(SUM_String& out) const;
  static int Encrypt(const SUM_String& in, SUM_String& out);
  static int Decrypt(const SUM_String& in, SUM_String& out);
  static int GetAllForUser(CM_MRCredentialList& list, const SUM_String& base);

  SUM_String m_user_name;
  SUM_String m_encrypted_password;
  SUM_String m_provider_name;
  SUM_String m_user_database_name;
  SUM_String m_dbset;
  SUM_String m_web_url;
  SUM_String m_file_path;
  SUM_String m_file_name;
  int m_error_number = 0;
};

#endif
