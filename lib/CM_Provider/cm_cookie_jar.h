// CM_CookieJar: keeps one tracker session cookie on disk between processes, in a small XML file
// (root "Cookies", one child carrying the transformed value) under the user's home folder.
// Owned by a CM_Session; every copy of a session has its own jar object on the same file. Holds
// no open file: each call reads or writes the file whole, writes are atomic. Internal to the
// library. Codes: 0 success, 1001 a folder, the file or the transform failed, 1002 the folder is
// missing when only reading, or the file does not parse.
#ifndef CM_PROVIDER_CM_COOKIE_JAR_H
#define CM_PROVIDER_CM_COOKIE_JAR_H

#include <sum_string.h>

class CM_CookieJar {
 public:
  // Builds the file path as dir_path, the path separator and file_name.
  CM_CookieJar(const SUM_String& dir_path, const SUM_String& file_name);
  CM_CookieJar(const CM_CookieJar& other);
  // A null source gives a jar with all fields empty.
  explicit CM_CookieJar(const CM_CookieJar* other);
  CM_CookieJar& operator=(const CM_CookieJar&) = delete;
  ~CM_CookieJar();

  // Stores a new cookie; a value equal to the stored one is not written again.
  int set_cookie(const SUM_String& cookie);
  // The stored cookie in plain form; empty when there is none or it cannot be read.
  SUM_String get_cookie() const;
  // The stored, still transformed value into out (unchanged when the folder is missing).
  int findCookie(SUM_String& out) const;
  // Writes a file holding the transformed value, creating the folder (0700) when needed.
  int write_cookie(const SUM_String& transformed);
  // Checks the folder; with create set, creates it with its parents.
  int check_cookie_file(bool create) const;

  static int encrypt(const SUM_String& in, SUM_String& out);
  static int decrypt(const SUM_String& in, SUM_String& out);

  const SUM_String& get_dir_path() const { return m_dir_path; }
  const SUM_String& get_file_name() const { return m_file_name; }
  const SUM_String& get_element_name() const { return m_element_name; }
  const SUM_String& get_file_path() const { return m_file_path; }
  void set_element_name(const SUM_String& name) { m_element_name = name; }

 private:
  SUM_String m_dir_path;
  SUM_String m_file_name;
  SUM_String m_element_name;
  SUM_String m_file_path;
};

#endif
