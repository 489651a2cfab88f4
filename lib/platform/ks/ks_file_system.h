// KS_FileSystem: the system calls through which the library writes the user's files (the atomic
// replace of strutl_write, used by the cookie jar and the login store, and the trace file's
// descriptor). The default calls the system directly. Tests install their own, usually a
// KS_FileSystem subclass that fails one call with a chosen errno, to see how a full, read-only or
// failing disk is met. Installing is not thread-safe: swap only while nothing writes. Internal to
// the library and its tests.
#ifndef PLATFORM_KS_KS_FILE_SYSTEM_H
#define PLATFORM_KS_KS_FILE_SYSTEM_H

#include <sys/types.h>

#include <cstddef>

class KS_FileSystem {
 public:
  KS_FileSystem() = default;
  KS_FileSystem(const KS_FileSystem&) = delete;
  KS_FileSystem& operator=(const KS_FileSystem&) = delete;
  virtual ~KS_FileSystem() = default;

  // Each as the system call of the same job (close-on-exec added to the descriptors); -1 and
  // errno on failure.
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual int MakeTemp(char* name_template);  // mkostemp
  virtual ssize_t Write(int fd, const void* data, size_t size);
  virtual int Sync(int fd);
  virtual int Close(int fd);
  virtual int Rename(const char* from, const char* to);
};

// The one in use.
KS_FileSystem& ks_file_system();
// The default, which always calls the system: for descriptors no test should fail.
KS_FileSystem& ks_system_files();
// Makes fs the one in use (null: the default) and returns the one it replaces; the caller keeps
// ownership of both.
KS_FileSystem* ks_set_file_system(KS_FileSystem* fs);

#endif
