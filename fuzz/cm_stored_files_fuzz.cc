// Feeds arbitrary bytes to the readers of the user's stored files: the small-file XML reader
// (whatever it parses must serialise and read back to the same text), the cookie jar and the
// login store reading them from disk. None may crash, leak or hand out half a login.
#include <xercesc/util/PlatformUtils.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include <cm_mr_credential.h>
#include <cm_mr_credential_list.h>
#include "CM_Provider/cm_cookie_jar.h"
#include "fuzz_home.h"
#include "platform/ks/ks.h"
#include "platform/sum/xml_element.h"

namespace {

void xml_round_trip(const std::string& text) {
  XML_Element root;
  if (XML_Element::parse(text.c_str(), root) != 0) return;
  SUM_String once;
  // Text the writer refuses (a character XML cannot carry) is not a reader fault.
  if (root.string(once, 0) != 0) return;
  XML_Element again;
  if (XML_Element::parse(once.c_str(), again) != 0) abort();
  SUM_String twice;
  if (again.string(twice, 0) != 0 || twice != once) abort();
}

void cookie_jar(const std::string& bytes) {
  static const SUM_String folder = sysutl_cmi_dir() + "/CookieJar/prov/S";
  CM_CookieJar jar(folder, SUM_String("U"));
  jar.set_element_name("Cookie");
  if (jar.check_cookie_file(true) != 0) abort();
  fuzz_home::put_file(jar.get_file_path().str(), bytes);
  SUM_String stored;
  (void)jar.findCookie(stored);
  (void)jar.get_cookie();
}

void login_store(const std::string& bytes) {
  static const SUM_String folder = sysutl_cmi_dir() + "/MRUser/prov/S";
  if (fileutl_mkpath(folder.c_str(), 0700, 1) != 0) abort();
  fuzz_home::put_file((folder + "/U").str(), bytes);
  CM_MRCredential login;
  if (login.lookup(SUM_String("prov"), SUM_String("S"), SUM_String("U"), SUM_String()) == 0) {
    (void)login.get_user_password();
  } else if (login.get_user_name().GetLength() != 0) {
    abort();  // a failed lookup must not leave a user behind
  }
  CM_MRCredentialList all;
  (void)login.lookup(all);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("LC_ALL", "C.UTF-8", 1);
  fuzz_home::enter();
  // Held for the whole run, as a host using Xerces itself would, so the reader's own counted
  // initialisation does not set Xerces up and tear it down again for every input.
  xercesc::XMLPlatformUtils::Initialize();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  xml_round_trip(bytes);
  cookie_jar(bytes);
  login_store(bytes);
  return 0;
}
