// Feeds arbitrary response header blocks, one line per callback as the transfer delivers them,
// through the header line intake and the session cookie search, then stores what was found in a
// session's cookie jar: a cookie handed out must be one JSESSIONID pair, and a stored cookie must
// read back unchanged through the session and its copies.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "CM_Provider/CM_Oslc/cm_rest_request.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_session.h"
#include "fuzz_home.h"

namespace {

const char kCookieName[] = "JSESSIONID=";

CM_Session& session() {
  static CM_Session made;
  static const bool ready = [] {
    std::unique_ptr<CM_ProviderConfig> config(CM_MR_CMIParser::parse_provider_context(
        R"({"providername":"prov","baseurl":"http://h","dbset":"S","userdb":"U"})"));
    return config && made.init_server_config(config.get()) == 0;
  }();
  if (!ready) abort();
  return made;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("LC_ALL", "C.UTF-8", 1);
  fuzz_home::enter();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  SUM_StringList lines;
  size_t start = 0;
  while (start < size) {
    size_t end = start;
    while (end < size && text[end] != '\n') ++end;
    if (end < size) ++end;  // the line end belongs to the line
    const std::string line = cm_rest_header_line(text + start, end - start);
    if (line.size() > end - start || line.find('\0') != std::string::npos) abort();
    if (!line.empty() && line.back() == '\n') abort();
    lines.append(SUM_String(line));
    start = end;
  }

  const std::string cookie = cm_rest_session_cookie(lines);
  if (cookie.empty()) return 0;
  if (cookie.compare(0, sizeof kCookieName - 1, kCookieName) != 0) abort();
  // Sent back as it is: nothing that could end or split a request header line.
  for (unsigned char c : cookie) {
    if (c == ';' || c < 0x20 || c == 0x7f) abort();
  }

  // Too long for the stored form is refused; anything stored must come back as it went in.
  if (session().UpdateCookie(SUM_String(cookie)) != 0) return 0;
  if (session().GetCookie().str() != cookie) abort();
  const CM_Session copy(session());
  if (copy.GetCookie().str() != cookie) abort();
  return 0;
}
