/* A minimal host built against the installed plug-in: it links the library (to prove the
   package's compile and link flags) and loads it with dlopen as the version-control host does,
   then INITIALIZEs, ASSOCIATEs one version with a record and COMMITs.
   usage: host PLUGIN BASE_URL RECORD SELECTOR; exit 0 when every operation succeeded. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include <cm_plugin.h>

static int check(const char* op, int32_t rc, int32_t expected, char* reply,
                 CM_FreeReplyFunction freereply) {
  printf("%s %d %s\n", op, (int)rc, reply ? reply : "(null)");
  freereply(reply);
  return rc == expected;
}

int main(int argc, char** argv) {
  void* lib;
  CM_GetFunction getfunction;
  CM_FreeReplyFunction freereply;
  CM_InitFunction init;
  CM_OpFunction assoc, commit;
  void* handle = NULL;
  char* reply = NULL;
  char request[1024];
  int ok = 1;

  if (argc != 5) {
    fprintf(stderr, "usage: host PLUGIN BASE_URL RECORD SELECTOR\n");
    return 2;
  }
  lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "host: %s\n", dlerror());
    return 1;
  }
  CM_ASSIGN_FUNCTION(getfunction, dlsym(lib, CM_GETFUNCTION_SYMBOL));
  CM_ASSIGN_FUNCTION(freereply, dlsym(lib, CM_FREEREPLY_SYMBOL));
  /* The library the host was linked with and the plug-in it loaded must be one object. */
  if (!getfunction || !freereply || getfunction("COMMIT") != cm_getfunction("COMMIT")) {
    fprintf(stderr, "host: the loaded plug-in is not the linked library\n");
    return 1;
  }
  CM_ASSIGN_FUNCTION(init, getfunction("INITIALIZE"));
  CM_ASSIGN_FUNCTION(assoc, getfunction("ASSOCIATE"));
  CM_ASSIGN_FUNCTION(commit, getfunction("COMMIT"));

  sprintf(request,
          "{\"providername\":\"installed\",\"baseurl\":\"%.400s\",\"dbset\":\"S1\","
          "\"userdb\":\"DB1\"}",
          argv[2]);
  ok &= check("INITIALIZE", init(&handle, request, &reply), 0, reply, freereply);
  sprintf(request,
          "{\"twversion\":{\"universal_selector\":\"%.300s\",\"display_name\":\"%.300s\"},"
          "\"cmtask\":{\"taskid\":\"%.100s\"}}",
          argv[4], argv[4], argv[3]);
  ok &= check("ASSOCIATE", assoc(handle, request, &reply), 1, reply, freereply);
  ok &= check("COMMIT", commit(handle, "", &reply), 0, reply, freereply);
  return ok ? 0 : 1;
}
