#include "CM_Provider/cm_mr_provider.h"

#include <dlfcn.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <new>
#include <utility>

#include "CM_Provider/CM_Oslc/cm_oslc_base_mr.h"
#include "CM_Provider/cm_messages.h"
#include "CM_Provider/cm_mr_cmi_parser.h"
#include "CM_Provider/cm_trace.h"
#include "platform/json/cmi_json.h"
#include "platform/ks/ks.h"

namespace {

const char kTag[] = "CMMR";
const char kClass[] = "CM_MRProvider";
const char kCertLabelFile[] = ".cmi_cert_label";

// Providers live until the process ends. The registry is never destroyed either, so the
// providers stay reachable (and leak checkers quiet) after static destruction.
std::map<std::string, CM_MRProvider*>& registry() {
  static auto* providers = new std::map<std::string, CM_MRProvider*>();
  return *providers;
}

// Handles stay valid until the process ends, even when the host unloads the library: once a
// provider exists, the library pins itself in memory.
void pin_library() {
  static bool pinned = false;
  if (pinned) return;
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&pin_library), &info) && info.dli_fname)
    pinned = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
}

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

// The connection key whose value cannot be a folder or file name, or null when all can.
const char* unusable_name_key(const CM_ProviderConfig& config) {
  const std::pair<const char*, std::string> names[] = {
      {"providername", config.get_name()},
      {"dbset", config.get_dbset()},
      {"userdb", config.get_userdb()},
  };
  for (const auto& name : names)
    if (!fileutl_is_plain_name(name.second.data(), name.second.size())) return name.first;
  return nullptr;
}

std::string current_user(int kind) { return sysutl_usid_to_user(credutl_getusid(kind, 0)).str(); }

// "<method>[<name>-<address>]" cut to the buffer, never overrun.
void format_label(char (&buf)[1024], const char* method, const std::string& name,
                  const void* self) {
  std::snprintf(buf, sizeof buf, "%s[%s-%p]", method, name.c_str(), self);
}

}  // namespace

bool cm_store_reply(const std::string& text, char** reply) {
  if (!reply) return false;
  char* copy = new (std::nothrow) char[text.size() + 1];
  if (copy) std::memcpy(copy, text.c_str(), text.size() + 1);
  *reply = copy;
  return copy != nullptr;
}

CM_MRProvider::CM_MRProvider(CM_ProviderConfig* config) : m_config(config) {}

CM_MRProvider::~CM_MRProvider() = default;

std::string CM_MRProvider::provider_key(const CM_ProviderConfig& config) {
  return std::string(config.get_name()) + "-" + std::string(config.get_userdb()) + "-" +
         std::string(config.get_dbset());
}

CM_MRProvider* CM_MRProvider::initialize(const char* request, char** reply) {
  CM_TraceScope scope(kTag, kClass, "initialize");
  CM_OpResult result;
  CM_MRProvider* provider = nullptr;
  const std::string text(request ? request : "");

  std::unique_ptr<CM_ProviderConfig> config(CM_MR_CMIParser::parse_provider_context(text));
  const char* bad_key = config ? unusable_name_key(*config) : nullptr;
  if (!config) {
    result.m_status_code = CM_STATUS_FORMAT;
    result.m_error_message = format_message(mr_table(), kMrFormatError);
  } else if (bad_key) {
    // These names become folder and file names under the home folder.
    scope.print(2, "Refused connection: unusable %s", bad_key);
    result.m_status_code = CM_STATUS_FORMAT;
    result.m_error_message = format_message(mr_table(), kMrBadConnectionName, bad_key);
  } else {
    scope.print(4, "Looking for provider %s", text.c_str());
    // get_instance may take the configuration; keep reading this request's settings.
    const CM_ProviderConfig* parsed = config.get();
    const int trace_level = parsed->m_trace_level;
    const std::string subsystems = parsed->get_tracesubsystem();
    const std::string base_url = parsed->get_base_url();
    provider = get_instance(config);
    if (!provider) {
      scope.print(4, "Provider %s not found", text.c_str());
      result.m_status_code = CM_STATUS_NO_PROVIDER;
      result.m_error_message = format_message(mr_table(), kMrProviderNotFound);
    } else {
      if (trace_level > 0) {
        CM_Trace::set_file(current_user(5).c_str(), static_cast<int>(getpid()));
        CM_Trace::configure(subsystems.c_str(), trace_level);
      }
      provider->m_action_map.clear();
      const int status = provider->set_session();
      if (status != 0) {
        result.m_status_code = status;
        result.m_error_message = format_message(mr_table(), kMrSessionInitFailed, base_url.c_str());
      }
    }
  }

  if (!cm_store_reply(result.to_json(), reply)) {
    // Without a reply the host cannot learn what happened; hand no provider out either.
    scope.print(2, "Provider address %p", static_cast<void*>(nullptr));
    return nullptr;
  }
  scope.print(2, "Provider address %p", static_cast<void*>(provider));
  return provider;
}

CM_MRProvider* CM_MRProvider::get_instance(std::unique_ptr<CM_ProviderConfig>& config) {
  CM_TraceScope scope(kTag, kClass, "get_instance");
  if (!config) return nullptr;
  const std::string key = provider_key(*config);
  scope.print(2, "Looking for %s", key.c_str());
  auto& providers = registry();
  auto it = providers.find(key);
  if (it != providers.end()) {
    scope.print(2, "Found %s (key = %s) at %p", std::string(config->get_name()).c_str(),
                key.c_str(), static_cast<void*>(it->second));
    return it->second;
  }
  std::unique_ptr<CM_MRProvider> created(new (std::nothrow) CM_MRProvider(nullptr));
  if (!created) return nullptr;
  created->m_config = std::move(config);
  scope.print(2, "Creating new provider %s - %p", key.c_str(), static_cast<void*>(created.get()));
  CM_MRProvider* provider = created.get();
  providers.emplace(key, provider);
  pin_library();
  static_cast<void>(created.release());  // owned by the registry for the rest of the process
  return provider;
}

int CM_MRProvider::set_session() {
  CM_TraceScope scope(kTag, kClass, "set_session");
  const int status = m_session.init_server_config(m_config.get());
  const SUM_String label = get_certificate_label();
  if (label.GetLength() > 0) {
    scope.print(4, "Setting smart card cert label to %s", label.c_str());
    m_session.set_cert_label(label);
  } else {
    scope.print(4, "Setting user creds from credenroll");
    m_session.set_cert_label(SUM_String());
    m_session.init_user_creds();
  }
  return status;
}

SUM_String CM_MRProvider::get_certificate_label() {
  CM_TraceScope scope(kTag, kClass, "get_certificate_label");
  scope.print(4, "User id = %s", current_user(7).c_str());
  const std::string home = sysutl_home_dir().str();
  scope.print(4, "Home directory = %s", home.c_str());
  const std::string path = home + "/" + kCertLabelFile;
  scope.print(4, "File is %s", path.c_str());
  std::string label;
  scope.print(4, "File is %s", path.c_str());
  std::ifstream in(path);
  if (in.is_open()) {
    scope.print(4, "File %s is open", path.c_str());
    if (in.good()) {
      std::getline(in, label, '\n');
      // A file edited on Windows ends its lines with CR LF; the CR is no part of the label.
      if (!label.empty() && label.back() == '\r') label.pop_back();
      scope.print(2, "Label read is  %s", label.c_str());
    }
  }
  return SUM_String(label);
}

int CM_MRProvider::associate(const char* request, char** reply) {
  return schedule(CM_ActionType::Associate, request, reply);
}

int CM_MRProvider::disassociate(const char* request, char** reply) {
  return schedule(CM_ActionType::Disassociate, request, reply);
}

int CM_MRProvider::schedule(CM_ActionType type, const char* request, char** reply) {
  const bool assoc = type == CM_ActionType::Associate;
  char label[1024];
  format_label(label, assoc ? "associate" : "disassociate", m_config->get_name(), this);
  CM_TraceScope scope(kTag, kClass, label);
  CM_OpResult result;
  int rc = -1;

  CM_ChangeData* data = CM_MR_CMIParser::get_data(std::string(request ? request : ""));
  if (!data) {
    result.m_error_message = format_message(mr_table(), kMrFormatError);
    result.m_status_code = CM_STATUS_FORMAT;
  } else {
    std::unique_ptr<CM_Action> action(new (std::nothrow) CM_Action(type, data));
    if (!action) {
      delete data;
      result.m_error_message = format_message(mr_table(), kMrOutOfMemory);
      result.m_status_code = CM_STATUS_NO_MEMORY;
    } else {
      scope.print(2, "Scheduling %s action for %s %s %s", assoc ? "ASSOCIATE" : "DISASSOCIATE",
                  std::string(data->get_display_name()).c_str(),
                  std::string(data->get_universal_selector()).c_str(),
                  std::string(data->get_record_id()).c_str());
      add_action_to_map(std::move(action));
      rc = 1;
    }
  }

  if (!cm_store_reply(result.to_json(), reply)) rc = -1;
  scope.print(2, "returning = %d", rc);
  return rc;
}

void CM_MRProvider::add_action_to_map(std::unique_ptr<CM_Action> action) {
  CM_TraceScope scope(kTag, kClass, "add_action_to_map");
  if (!action) return;
  const CM_ChangeData* data = action->get_data();
  const std::string id = action->record_id();
  const std::string selector = data ? std::string(data->get_universal_selector()) : "";
  const std::string name = data ? std::string(data->get_display_name()) : "";
  if (!m_action_map.find(id)) {
    scope.print(2, "Adding new entry for (MR) %s for (Action) %s with (TW)%s %s", id.c_str(),
                action->action_name(), selector.c_str(), name.c_str());
  } else {
    scope.print(2, "Adding to existing entry for (MR) %s for (Action) %s with (TW)%s %s",
                id.c_str(), action->action_name(), selector.c_str(), name.c_str());
  }
  m_action_map.add(std::move(action));
  dump_action_map();
}

void CM_MRProvider::dump_action_map() {
  CM_TraceScope scope(kTag, kClass, "dump_action_map");
  if (!scope.is_enabled(2)) return;
  // The whole map at every scheduling: lines by the thousand, so no printf per line.
  CM_TraceBurst burst;
  for (const auto& entry : m_action_map) {
    char count[16] = {0};
    std::to_chars(count, count + sizeof count - 1, static_cast<int>(entry.second.size()));
    scope.print_always_joined({"Size of list for ", entry.first.c_str(), " = ", count});
    for (const auto& action : entry.second) {
      const CM_ChangeData* data = action->get_data();
      scope.print_always_joined({action->action_name(), " ", entry.first.c_str(), " with ",
                                 data ? data->get_display_name().c_str() : ""});
    }
  }
}

int CM_MRProvider::commit(const char* /*request*/, char** reply) {
  const std::string name = m_config->get_name();
  char label[1024];
  format_label(label, "commit", name, this);
  CM_TraceScope scope(kTag, kClass, label);
  CM_OpResult result;
  int rc = 0;
  int failed = 0;
  std::string error;
  const std::string prefix = "[" + name + "]";

  if (!m_action_map.empty() && m_session.login_unreadable()) {
    failed = 1;
    error = prefix + format_message(mr_table(), kMrLoginUnreadable,
                                    std::string(m_config->get_name()).c_str(),
                                    std::string(m_config->get_dbset()).c_str(),
                                    std::string(m_config->get_userdb()).c_str());
    scope.print(2, "%s", error.c_str());
  } else if (!m_action_map.empty()) {
    try {
      std::unique_ptr<CM_OslcBaseMr> engine(new (std::nothrow) CM_OslcBaseMr());
      if (!engine) {
        failed = 1;
      } else if (engine->init(m_session) != 0) {
        error += prefix + format_message(mr_table(), kMrInitFailed,
                                         std::string(m_config->get_base_url()).c_str());
        failed = 1;
      } else {
        const int status = engine->do_modify_associations(m_action_map);
        scope.print(2, "Status of do_modify_associations = %d (%d)", status, CM_STATUS_ENGINE);
        if (status != 0) {
          failed = 1;
          error += prefix + CMI_JSON_Object::escape_string(engine->get_error());
        }
      }
    } catch (...) {
      // Only memory exhaustion can get here; the work is dropped like any other failure.
      failed = 1;
      error = prefix + format_message(mr_table(), kMrOutOfMemory);
    }
  }

  scope.print(4, "Some failed = %d", failed);
  if (failed == 1) {
    result.m_status_code = CM_STATUS_COMMIT_FAILED;
    result.m_error_message = error;
    rc = -1;
  } else {
    result.m_status_code = 0;
  }
  if (!cm_store_reply(result.to_json(), reply)) rc = -1;
  scope.print(2, "returning = %d", rc);
  m_action_map.clear();
  return rc;
}

int CM_MRProvider::validate(const char* /*request*/, char** reply) {
  CM_OpResult result;
  result.m_status_code = 0;
  cm_store_reply(result.to_json(), reply);
  return 0;
}
