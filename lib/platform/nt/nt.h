// Windows-compatibility services: descriptor-level file calls and time, and the settings store
// that stands in for the registry. Any module may call.
#ifndef PLATFORM_NT_NT_H
#define PLATFORM_NT_NT_H

#include <ctime>

int unix_nt_access(const char* path, int mode);
// open(2) with the given flags and mode; a descriptor, negative on failure. Close-on-exec.
int unix_nt_open(const char* path, int flags, int mode);
int unix_nt_close(int fd);
time_t unix_nt_time(time_t* out);

// Settings store. Hive CurrentUser is "<home>/.Corvane/.Registry/CurrentUser", LocalMachine is
// TAPIR_MACHINE_REGISTRY when set, else "/etc/Corvane/.Registry/LocalMachine". A key path such as
// "Software/Corvane/Tarnwell/Tarnwell Tapir" is one file under the hive folder holding that key's
// string values; writes replace the file atomically.
enum ntregy_hive { NTREGY_CURRENT_USER = 0, NTREGY_LOCAL_MACHINE = 1 };
typedef struct ntregy_key_s* ntregy_key;

// "Software/Corvane/Tarnwell".
const char* ntregy_get_common_key();
// Reads value `name` of key `key_path` into buf (size bytes). 0 on success with *key_out an open
// handle to close; nonzero when the key or value is missing or the value does not fit in buf.
int ntregy_get_value(int hive, const char* key_path, const char* name, char* buf, int size,
                     ntregy_key* key_out);
// Creates or overwrites value `name` (type 1: string) with len bytes of text. 0 on success with
// *key_out an open handle to close.
int ntregy_create_value(int hive, const char* key_path, const char* name, const char* text, int len,
                        int type, ntregy_key* key_out);
int ntregy_close_key(ntregy_key key);

#endif
