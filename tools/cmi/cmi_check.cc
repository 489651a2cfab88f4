// cmi check: walks a tracker connection one step at a time (URL, name resolution and connection,
// TLS, login, the tracker's answer, the record, ETags) and prints one line per step, so a person
// sees which step fails and what to do about it. The network steps use libcurl directly, since
// the plug-in's request class does not expose timings or certificates; the login and record
// steps go through the library's exported request class, as the plug-in does.
#include <curl/curl.h>
#include <openssl/ssl.h>

#include <cm_rest_uri.h>
#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cm_option.h"
#include "cmi.h"
#include "cmi_connection.h"
#include "cmi_host.h"
#include "cmi_record.h"

namespace {

using json = nlohmann::json;

enum class Result { Passed, Failed, Warning, Skipped };

const char* result_name(Result r) {
  switch (r) {
    case Result::Passed:
      return "passed";
    case Result::Failed:
      return "failed";
    case Result::Warning:
      return "warning";
    case Result::Skipped:
      return "skipped";
  }
  return "";
}

struct Step {
  std::string name;
  Result result;
  std::string detail, hint;
};

struct CheckArgs {
  CmiConnectionArgs connection;
  std::string record;
};

std::string option_value(const char* name) {
  CM_Option option(CM_Option::CurrentUser, name);
  SUM_String value;
  option.GetValue("", value);
  return value.str();
}

std::string milliseconds(curl_off_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(microseconds) / 1000.0);
  return text;
}

struct CurlFree {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};

// What one connection attempt learnt.
struct Probe {
  CURLcode code = CURLE_OK;
  std::string error;
  curl_off_t lookup = 0, connect = 0, handshake = 0;
  std::string protocol, subject, expiry;
};

// The protocol of the last finished handshake; cmi runs one probe at a time on one thread.
std::string g_handshake_protocol;

extern "C" void note_handshake(const SSL* ssl, int where, int) {
  if (where & SSL_CB_HANDSHAKE_DONE) g_handshake_protocol = SSL_get_version(ssl);
}

extern "C" CURLcode watch_handshake(CURL*, void* ssl_ctx, void*) {
  SSL_CTX_set_info_callback(static_cast<SSL_CTX*>(ssl_ctx), note_handshake);
  return CURLE_OK;
}

Probe probe(const std::string& url, bool verify, const std::string& ca_bundle) {
  Probe p;
  std::unique_ptr<CURL, CurlFree> curl(curl_easy_init());
  if (!curl) {
    p.code = CURLE_FAILED_INIT;
    p.error = "libcurl could not be initialised";
    return p;
  }
  char error[CURL_ERROR_SIZE] = "";
  CURL* c = curl.get();
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_CONNECT_ONLY, 1L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  long timeout = std::atol(option_value("CMI_CONNECT_TIMEOUT").c_str());
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, timeout > 0 ? timeout : 30L);
  curl_easy_setopt(c, CURLOPT_CERTINFO, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, verify ? 1L : 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, verify ? 2L : 0L);
  if (verify && !ca_bundle.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, ca_bundle.c_str());
  curl_easy_setopt(c, CURLOPT_SSL_CTX_FUNCTION, watch_handshake);
  g_handshake_protocol.clear();
  p.code = curl_easy_perform(c);
  p.error = *error ? error : curl_easy_strerror(p.code);
  curl_easy_getinfo(c, CURLINFO_NAMELOOKUP_TIME_T, &p.lookup);
  curl_easy_getinfo(c, CURLINFO_CONNECT_TIME_T, &p.connect);
  curl_easy_getinfo(c, CURLINFO_APPCONNECT_TIME_T, &p.handshake);
  if (p.code != CURLE_OK) return p;
  p.protocol = g_handshake_protocol;
  struct curl_certinfo* certs = nullptr;
  if (curl_easy_getinfo(c, CURLINFO_CERTINFO, &certs) == CURLE_OK && certs &&
      certs->num_of_certs > 0) {
    for (curl_slist* item = certs->certinfo[0]; item; item = item->next) {
      const std::string line = item->data;
      if (line.rfind("Subject:", 0) == 0) p.subject = line.substr(8);
      if (line.rfind("Expire date:", 0) == 0) p.expiry = line.substr(12);
    }
  }
  return p;
}

bool is_tls_failure(CURLcode code) {
  return code == CURLE_SSL_CONNECT_ERROR || code == CURLE_PEER_FAILED_VERIFICATION ||
         code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_CERTPROBLEM ||
         code == CURLE_SSL_CIPHER || code == CURLE_SSL_ENGINE_NOTFOUND ||
         code == CURLE_SSL_ISSUER_ERROR || code == CURLE_SSL_CRL_BADFILE;
}

std::vector<Step> run_checks(const CmiConnection& conn, const std::string& record_id,
                             const std::string& plugin_path) {
  std::vector<Step> steps;
  auto add = [&steps](const std::string& name, Result r, const std::string& detail,
                      const std::string& hint = "") {
    steps.push_back({name, r, detail, hint});
  };
  CmiPlugin plugin;
  if (plugin.load(plugin_path))
    add("plug-in", Result::Passed, plugin.path());
  else
    add("plug-in", Result::Failed, plugin.error(),
        "choose the library with --plugin PATH or the CMI_PLUGIN environment variable");
  auto skip_rest = [&](std::initializer_list<const char*> names) {
    for (const char* n : names) add(n, Result::Skipped, "an earlier step failed");
  };
  add("URL", Result::Passed, conn.baseurl);
  const bool https =
      conn.baseurl.compare(0, 6, "https:") == 0 || conn.baseurl.compare(0, 6, "HTTPS:") == 0;
  const bool plugin_verifies = option_value("CMI_SSL_VERIFY") == "1";
  const std::string ca_bundle = option_value("CMI_CA_BUNDLE");

  Probe p = probe(conn.baseurl, https, ca_bundle);
  bool verified = https && p.code == CURLE_OK;
  std::string verify_error;
  if (https && is_tls_failure(p.code)) {
    // Look again without verification, to show what the server presents.
    verify_error = p.error;
    p = probe(conn.baseurl, false, "");
  }
  if (p.code == CURLE_COULDNT_RESOLVE_HOST || p.code == CURLE_COULDNT_RESOLVE_PROXY) {
    add("name resolution", Result::Failed, p.error,
        "check the host name in \"baseurl\" of " + conn.file);
    skip_rest({"connection", "TLS", "login", "tracker accepts the login"});
    return steps;
  }
  add("name resolution", Result::Passed, milliseconds(p.lookup));
  if (p.code != CURLE_OK && !is_tls_failure(p.code)) {
    add("connection", Result::Failed, p.error,
        "is the tracker running and is the port in \"baseurl\" right? (timeout: "
        "CMI_CONNECT_TIMEOUT)");
    skip_rest({"TLS", "login", "tracker accepts the login"});
    return steps;
  }
  add("connection", Result::Passed, milliseconds(p.connect - p.lookup));
  if (!https) {
    add("TLS", Result::Warning, "not used: the URL is plain http, logins travel unencrypted",
        "use an https base URL");
  } else if (p.code != CURLE_OK) {
    add("TLS", Result::Failed, p.error, "the server's TLS set-up is not usable");
    skip_rest({"login", "tracker accepts the login"});
    return steps;
  } else {
    std::string detail = (p.protocol.empty() ? std::string("TLS") : p.protocol) + ", " +
                         milliseconds(p.handshake - p.connect) + ", certificate subject \"" +
                         p.subject + "\", expires " + p.expiry + ", " +
                         (verified ? "verified" : "NOT verified (" + verify_error + ")");
    if (!plugin_verifies) {
      add("TLS", Result::Warning, detail + "; the plug-in does not verify server certificates",
          "set CMI_SSL_VERIFY to 1 (cmi option set CMI_SSL_VERIFY 1 [--machine])");
    } else if (!verified) {
      add("TLS", Result::Failed, detail,
          "the plug-in verifies certificates (CMI_SSL_VERIFY=1): set CMI_CA_BUNDLE to the "
          "issuer's PEM file");
      skip_rest({"login", "tracker accepts the login"});
      return steps;
    } else {
      add("TLS", Result::Passed, detail);
    }
  }

  const std::string label = cmi_cert_label();
  const std::string user = cmi_login_user(conn, nullptr);
  const std::string creds_hint = "cmi creds add --provider " + conn.provider + " --dbset " +
                                 conn.dbset + " --userdb " + conn.userdb + " --user NAME";
  if (!label.empty()) {
    add("login", Result::Passed, "client certificate label \"" + label + "\"");
  } else if (!user.empty()) {
    add("login", Result::Passed, "stored login of user \"" + user + "\"");
  } else {
    add("login", Result::Failed, "no stored login for this connection", creds_hint);
  }

  // A record the tracker answers "not found" for still shows that the login was accepted.
  const CmiRecord record = cmi_read_record(conn, record_id.empty() ? "cmi-check" : record_id);
  if (record.status == CM_REST_AUTH_FAILED) {
    add("tracker accepts the login", Result::Failed, cmi_plain_text(record.error),
        label.empty() ? creds_hint : "check the certificate of label \"" + label + "\"");
  } else if (record.status == 0 || record.status == CM_REST_NOT_FOUND) {
    add("tracker accepts the login", Result::Passed, "");
  } else {
    add("tracker accepts the login", Result::Failed, cmi_plain_text(record.error),
        "check the base URL " + conn.baseurl + " in " + conn.file);
  }
  if (record_id.empty()) {
    add("record", Result::Skipped, "give --record ID to read a record");
    add("ETags", Result::Skipped, "give --record ID to see whether the tracker sends ETags");
    return steps;
  }
  if (record.status != 0) {
    add("record", Result::Failed,
        record_id + ": " +
            (record.status == CM_REST_NOT_FOUND ? "not found" : cmi_plain_text(record.error)),
        record.status == CM_REST_NOT_FOUND ? "check --record and the base URL " + conn.baseurl
                                           : "");
    add("ETags", Result::Skipped, "the record could not be read");
    return steps;
  }
  add("record", Result::Passed,
      record_id + " read, " + std::to_string(record.links.size()) + " link" +
          (record.links.size() == 1 ? "" : "s"));
  if (record.etag)
    add("ETags", Result::Passed, "sent: concurrent writers cannot overwrite each other's links");
  else
    add("ETags", Result::Warning,
        "not sent: a concurrent writer's change between read and update could be lost");
  return steps;
}

int check(const CLI::App& command, const CheckArgs& args) {
  CmiConnection conn;
  std::string error;
  if (!cmi_load_connection(args.connection, &conn, &error)) return cmi_misuse(command, error);
  const std::vector<Step> steps = run_checks(conn, args.record, args.connection.plugin);
  bool ok = true;
  for (const Step& s : steps) ok = ok && s.result != Result::Failed;
  if (args.connection.json) {
    json out = {{"command", "check"}, {"ok", ok}, {"steps", json::array()}};
    for (const Step& s : steps) {
      json step = {{"step", s.name}, {"result", result_name(s.result)}, {"detail", s.detail}};
      if (!s.hint.empty()) step["hint"] = s.hint;
      out["steps"].push_back(step);
    }
    std::printf("%s\n", out.dump(-1, ' ', false, json::error_handler_t::replace).c_str());
  } else {
    for (const Step& s : steps) {
      char status[16];
      std::snprintf(status, sizeof status, "%-8s", result_name(s.result));
      std::string line = status + s.name;
      if (!s.detail.empty()) line += ": " + s.detail;
      if (!s.hint.empty()) line += " (hint: " + s.hint + ")";
      std::printf("%s\n", line.c_str());
    }
  }
  return ok ? 0 : 1;
}

}  // namespace

void cmi_add_check(CLI::App& root, CmiCommands& commands) {
  auto args = std::make_shared<CheckArgs>();
  CLI::App* command = root.add_subcommand(
      "check",
      "Checks a tracker connection step by step: the plug-in, the URL, name resolution and "
      "connection, TLS, "
      "the login used, whether the tracker accepts it, and with --record the record and whether "
      "the tracker sends ETags. One line per step, passed or failed with a hint.");
  cmi_add_connection_options(*command, args->connection);
  command->add_option("--record", args->record, "a change-request record ID to read");
  command->footer("Exit status: 0 when every step passed, 1 when one failed, 2 misuse.");
  commands.push_back({command, [command, args] { return check(*command, *args); }});
}
