#include "CM_Provider/cm_cookie_jar.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "CM_Provider/cm_commit_cache.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_session_folder.h"
#include "CM_Provider/cm_status.h"
#include "CM_Provider/cm_stored_form.h"
#include "CM_Provider/cm_trace.h"
#include "platform/ks/ks.h"
#include "platform/sum/xml_element.h"

namespace {

const char kTag[] = "CMMR";
const char kClass[] = "CM_CookieJar";
const char kSeparator = '/';
// Size of the buffer the storing transform writes into; the stored form is one shorter.
const int kWriteRetries = 5;

// The jar stands at <root>/<provider>/<dbset>/<userdb>: its root is two folders above dir.
std::string jar_root(const SUM_String& dir) {
  std::string root = dir.str();
  for (int up = 0; up < 2; ++up) {
    const size_t slash = root.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return dir.str();
    root.resize(slash);
  }
  return root;
}

// The jar's folders from its root down (see cm_secure_session_folder), with the user's message.
bool secure_folder(const SUM_String& dir, bool create, const CM_TraceScope& trace) {
  SUM_String bad(dir);
  const int code = cm_secure_session_folder("Cookie", jar_root(dir), dir, create, trace, &bad);
  if (code == FILEUTL_DIR_OK) return true;
  if (create && code != FILEUTL_DIR_NOT_OWNED) {
    imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrCannotCreateJar, dir.c_str());
  } else if (code != FILEUTL_DIR_ERRNO) {
    imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrFolderUnusable, bad.c_str(),
               fileutl_dir_problem(code, errno));
  }
  return false;
}

// The stored text of the jar file at path: 0, or CM_JAR_ABSENT when it is missing, empty or
// unreadable.
int read_stored_cookie(const SUM_String& path, SUM_String& out) {
  SUM_String text = strutl_read(1, path.c_str(), 0, 1, 0);
  // A missing or empty file is the ordinary state before the first login: no message.
  if (text.GetLength() == 0) return CM_JAR_ABSENT;
  XML_Element root;
  if (XML_Element::parse(text.c_str(), root) != 0 || root.sub_elements().count() < 1) {
    imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrCannotParseJar, path.c_str());
    return CM_JAR_ABSENT;
  }
  out = root.sub_elements()[0].text();
  return 0;
}

}  // namespace

CM_CookieJar::CM_CookieJar(const SUM_String& dir_path, const SUM_String& file_name)
    : m_dir_path(dir_path), m_file_name(file_name) {
  CM_TraceScope trace(kTag, kClass, "CM_CookieJar()");
  const char separator[2] = {kSeparator, '\0'};
  m_file_path = m_dir_path + separator + m_file_name;
  trace.print_always("Path name is %s", m_file_path.c_str());
}

CM_CookieJar::CM_CookieJar(const CM_CookieJar& other) : CM_CookieJar(&other) {}

CM_CookieJar::CM_CookieJar(const CM_CookieJar* other) {
  CM_TraceScope trace(kTag, kClass, "CM_CookieJar(CM_CookieJar)");
  if (!other) return;
  m_dir_path = other->m_dir_path;
  m_file_name = other->m_file_name;
  m_element_name = other->m_element_name;
  m_file_path = other->m_file_path;
}

CM_CookieJar::~CM_CookieJar() { CM_TraceScope trace(kTag, kClass, "~CM_CookieJar"); }

int CM_CookieJar::encrypt(const SUM_String& in, SUM_String& out) {
  CM_TraceScope trace(kTag, kClass, "encrypt");
  return cm_to_stored_form(in, out);
}

int CM_CookieJar::decrypt(const SUM_String& in, SUM_String& out) {
  CM_TraceScope trace(kTag, kClass, "decrypt");
  // Within one COMMIT the key does not change, so one stored text always gives the same plain one.
  CM_CommitCache* cache = CM_CommitCache::live();
  std::string plain;
  if (cache && cache->find_plain_cookie(in.str(), plain)) {
    out = SUM_String(plain);
    return 0;
  }
  const int code = cm_from_stored_form(in, out);
  if (code == 0 && cache) cache->keep_plain_cookie(in.str(), out.str());
  return code;
}

int CM_CookieJar::check_cookie_file(bool create) const {
  CM_TraceScope trace(kTag, kClass, "check_cookie_file");
  // A jar whose text this COMMIT read or wrote passed these checks then, and only this process's
  // own writes change it until the COMMIT ends: its reads skip five file system calls each.
  std::string kept;
  CM_CommitCache* cache = CM_CommitCache::live();
  const bool known = !create && cache && cache->find_stored_cookie(m_file_path.str(), kept);
  if (known) {
    trace.print(4, "Cookie directory [%s] exists\n", m_dir_path.c_str());
    trace.print(4, "updating existing file [%s]\n", m_file_path.c_str());
    return 0;
  }
  if (!fileutl_is_within(m_file_path.c_str(), jar_root(m_dir_path).c_str())) {
    trace.print_always("Cookie file %s is not inside its folder", m_file_path.c_str());
    return create ? CM_STORE_FAILED : CM_JAR_ABSENT;
  }
  if (fileutl_exists(m_dir_path.c_str(), 0)) {
    trace.print(4, "Cookie directory [%s] exists\n", m_dir_path.c_str());
    if (!secure_folder(m_dir_path, false, trace)) return create ? CM_STORE_FAILED : CM_JAR_ABSENT;
  } else {
    if (!create) return CM_JAR_ABSENT;
    trace.print(4, "Creating Cookie directory [%s]\n", m_dir_path.c_str());
    if (!secure_folder(m_dir_path, true, trace)) return CM_STORE_FAILED;
  }
  if (fileutl_exists(m_file_path.c_str(), 0))
    trace.print(4, "updating existing file [%s]\n", m_file_path.c_str());
  else
    trace.print(4, "creating new file %s]\n", m_file_path.c_str());
  return 0;
}

int CM_CookieJar::write_cookie(const SUM_String& transformed) {
  CM_TraceScope trace(kTag, kClass, "write_cookie");
  try {
    trace.print(4, "Cookie is %s", transformed.c_str());
    XML_Element root("Cookies");
    root.sub_elements().append(XML_Element(m_element_name, transformed));
    SUM_String text;
    int code = root.string(text, 0);
    if (code != 0) return code;
    trace.print(4, "XML cookie string: %s\n", text.c_str());
    trace.print(4, "Cookie file path: %s\n", m_file_path.c_str());
    trace.print(4, "Cookie directory path: %s\n", m_dir_path.c_str());

    if (!fileutl_is_within(m_file_path.c_str(), jar_root(m_dir_path).c_str())) {
      trace.print_always("Cookie file %s is not inside its folder", m_file_path.c_str());
      return CM_STORE_FAILED;
    }
    trace.print(4, fileutl_exists(m_dir_path.c_str(), 0) ? "Cookie directory exists\n"
                                                         : "Creating Cookie directory\n");
    if (!secure_folder(m_dir_path, true, trace)) return CM_STORE_FAILED;
    if (fileutl_exists(m_file_path.c_str(), 0))
      trace.print(4, "updating existing file\n");
    else
      trace.print(4, "creating new file\n");

    // A folder pulled away by another process between the check and the write is made again.
    int written = strutl_write(text.c_str(), m_file_path.c_str(), 0, 0);
    for (int attempt = 0; written != 0 && attempt < kWriteRetries; ++attempt) {
      trace.print_always("Cannot write %s: %s", m_file_path.c_str(), strerror(errno));
      if (!secure_folder(m_dir_path, true, trace)) break;
      written = strutl_write(text.c_str(), m_file_path.c_str(), 0, 0);
    }
    if (written != 0) {
      trace.print_always("Cannot write %s: %s", m_file_path.c_str(), strerror(errno));
      imsg_print(IMSG_KIND_ERROR, _cm_mr_CM_Oslc_msg_table_adr(), kMrCannotSaveCookie,
                 m_file_path.c_str());
      return CM_STORE_FAILED;
    }
    trace.print(4, "Cookie stored in file %s\n", m_file_path.c_str());
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_STORE_FAILED;
  }
}

int CM_CookieJar::findCookie(SUM_String& out) const {
  CM_TraceScope trace(kTag, kClass, "findCookie");
  int code = check_cookie_file(false);
  if (code == 0) {
    // Within one COMMIT the file changes only through this process's own writes, kept below.
    CM_CommitCache* cache = CM_CommitCache::live();
    std::string kept;
    if (cache && cache->find_stored_cookie(m_file_path.str(), kept)) {
      out = SUM_String(kept);
    } else {
      code = read_stored_cookie(m_file_path, out);
      if (code == 0 && cache) cache->keep_stored_cookie(m_file_path.str(), out.str());
    }
  }
  trace.print(1, "findCookie(): Encrypted Cookie=\"%s\"\n", out.c_str());
  return code;
}

SUM_String CM_CookieJar::get_cookie() const {
  CM_TraceScope trace(kTag, kClass, "get_cookie");
  try {
    SUM_String stored;
    (void)findCookie(stored);
    SUM_String plain;
    (void)decrypt(stored, plain);
    return plain;
  } catch (const std::bad_alloc&) {
    return SUM_String();
  }
}

int CM_CookieJar::set_cookie(const SUM_String& cookie) {
  CM_TraceScope trace(kTag, kClass, "set_cookie");
  try {
    SUM_String old = get_cookie();
    trace.print(4, "Cookie = %s, old cookie = %s", cookie.c_str(), old.c_str());
    if (cookie == old) {
      trace.print(4, "Cookie = old_cookie");
      return 0;
    }
    SUM_String out;
    int code = encrypt(cookie, out);
    if (code != 0) {
      trace.print(4, "Status %d from encrypt", code);
      return code;
    }
    code = write_cookie(out);
    if (code != 0) {
      trace.print(4, "Status %d from write_cookie", code);
      return code;
    }
    if (CM_CommitCache* cache = CM_CommitCache::live()) {
      cache->keep_stored_cookie(m_file_path.str(), out.str());
      cache->keep_plain_cookie(out.str(), cookie.str());
    }
    return 0;
  } catch (const std::bad_alloc&) {
    return CM_STORE_FAILED;
  }
}
