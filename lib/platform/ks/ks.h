// Kernel services: messages, whole-file and folder utilities, bounded string helpers, the storing
// transform, user identity, home directory and time. Thin wrappers over POSIX and OpenSSL; every
// per-user path of the library derives from sysutl_home_dir(). Any module of the library may call.
#ifndef PLATFORM_KS_KS_H
#define PLATFORM_KS_KS_H

#include <sys/time.h>

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include <sum_string.h>

// A numbered message table as the message functions read it.
struct imsg_table {
  const char* catalog;
  const char* facility;
  uint16_t table_number;
  uint16_t count;
  const char* const* texts;
  const uint16_t* ids;
  int32_t end;
};

// Message kinds: 6 reports an error (standard error), 0 prints plain output (standard output).
enum { IMSG_KIND_INFO = 0, IMSG_KIND_ERROR = 6 };

// Prints message `number` (0-based) of `table`, printf-formatted. With number -1, `table` is the
// format text itself (a const char*). Returns the printed length, negative when there is no such
// message.
int imsg_print(int kind, const void* table, int number, ...);
// Formats message `number` of `table` into buf (size bytes, always NUL-terminated). Returns the
// full formatted length (may be >= size when cut), negative when there is no such message.
int imsg_vsprintf(char* buf, size_t size, const void* table, int number, va_list ap);

// The whole file as text; empty when the file is missing, unreadable or empty.
SUM_String strutl_read(int mode, const char* path, int, int, int);
// Replaces the file's content atomically (temporary file in the same folder, fsync, rename); new
// files get mode 0600. 0 on success; on failure the previous content is untouched.
int strutl_write(const char* text, const char* path, int, int);
// Joins `count` const char* pieces into dest (size bytes) without overrunning it; always
// NUL-terminated. Returns 0, or nonzero when the result was cut.
int strutl_concat(char* dest, size_t size, int count, ...);
// Bounded copy with a terminating NUL. Returns 0, or nonzero when the text was cut.
int strutl_cpy_buf(char* dest, const char* src, size_t size);
// Case-converted copy of at most max bytes into dest (max+1 bytes); mode 1 upper, else lower.
int strutl_cvt_case_string(const char* src, int mode, int max, char* dest);
// The storing transform (AES-256-GCM, per-user key file): out receives a printable text of at
// most `max` characters (out holds max+1 bytes). 0 on success, nonzero on any failure.
int strutl_extract_head(const char* text, char* out, int max);
// The reverse of strutl_extract_head. 0 on success, nonzero when the text is not a stored form,
// was tampered with, or the key is missing or different.
int strutl_extract_tail(const char* stored, char* out, int max);

// Nonzero when the file or folder exists.
int fileutl_exists(const char* path, int);
// Creates the folder and every missing parent with `mode`. 0 on success (also when it exists).
int fileutl_mkpath(const char* path, int mode, int);
// Deletes a file or an empty folder, never a folder that still holds entries. 0, or -4 on failure.
int fileutl_rm(const char* path, int flags);
// 1 when `name` (len bytes) can be one piece of a path: not empty, not "." or "..", and without
// "/", NUL or control characters. Else 0.
int fileutl_is_plain_name(const char* name, size_t len);
// 1 when `path` names an entry inside `folder`: folder, "/", then pieces that are all plain names
// (so no "..", no empty piece). Else 0. Purely textual: symbolic links are checked by the caller.
int fileutl_is_within(const char* path, const char* folder);
// Results of fileutl_secure_dirs.
enum {
  FILEUTL_DIR_OK = 0,
  FILEUTL_DIR_ERRNO = -1,      // a system call failed; errno holds the cause
  FILEUTL_DIR_NOT_DIR = -2,    // not a folder (a symbolic link counts as not a folder)
  FILEUTL_DIR_NOT_OWNED = -3,  // owned by another user
  FILEUTL_DIR_OPEN = -4,       // writable by group or others (only when not tightening)
};
// Checks every folder from `base` down to `path` (both included; path must be base or inside it):
// each must be a real folder owned by the effective user. With `tighten`, a folder open to others
// is set to 0700; without, a folder that group or others may write is refused. Missing folders
// are created with 0700 when `create` is set. FILEUTL_DIR_OK or the first problem met;
// *bad_folder (when given) receives the folder at fault.
int fileutl_secure_dirs(const char* base, const char* path, int tighten, int create,
                        SUM_String* bad_folder);
// The cause of a fileutl_secure_dirs result as text (strerror of err for FILEUTL_DIR_ERRNO).
const char* fileutl_dir_problem(int code, int err);
// The names of the folder's entries (without "." and ".."), sorted; returns their number,
// negative on failure.
int fileutl_read_whole_dir(const char* folder, int, SUM_StringList* out);

// The current user's identity (kind 5 or 7: the effective user) and its name: the passwd name,
// else USER, else LOGNAME, else empty.
long credutl_getusid(int kind, int);
SUM_String sysutl_usid_to_user(long usid);
// The home directory: HOMEDRIVE followed by HOMEPATH when either is set; else HOME; else the
// effective user's passwd entry. The one source of every per-user path.
SUM_String sysutl_home_dir();
// The per-user product folder "<home>/.Corvane/.Registry/Tarnwell/CMI".
SUM_String sysutl_cmi_dir();

// The current time in seconds and microseconds. 0 on success.
int date_get_timeval(struct timeval* tv);

#endif
