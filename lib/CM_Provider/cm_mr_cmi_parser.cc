#include "CM_Provider/cm_mr_cmi_parser.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "CM_Provider/cm_trace.h"
#include "platform/json/cmi_json.h"

namespace {

const char kClass[] = "CM_MR_CMIParser";

// atoi's reading (leading blanks, sign, digits, 0 when unreadable) without its overflow hazard.
std::int32_t to_int(const std::string& text) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text.c_str(), &end, 10);
  if (end == text.c_str()) return 0;
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<std::int32_t>(v);
}

// A value holding a NUL: the whole request is refused, since C code downstream would read a
// shorter text than the one checked ("MR1\u0000OTHER" as "MR1").
struct NulInValue {};

// The text of member `key`, or false when there is no such member. Throws NulInValue.
bool member_text(const CMI_JSON_Value& object, const char* key, std::string& out) {
  std::unique_ptr<CMI_JSON_Value> value = object.get_value(key);
  if (!value) return false;
  value->get_text(out);
  if (out.find('\0') != std::string::npos) throw NulInValue();
  return true;
}

}  // namespace

CM_ProviderConfig::CM_ProviderConfig(const std::string& name, const std::string& base_url,
                                     const std::string& userdb, const std::string& dbset)
    : m_name(name), m_base_url(base_url), m_dbset(dbset), m_userdb(userdb) {}

CM_ProviderConfig::~CM_ProviderConfig() = default;

CM_ChangeData::CM_ChangeData() = default;
CM_ChangeData::~CM_ChangeData() = default;

CM_OpResult::CM_OpResult() = default;
CM_OpResult::~CM_OpResult() = default;

std::string CM_OpResult::to_json() const {
  char code[16];
  std::snprintf(code, sizeof code, "%d", static_cast<int>(m_status_code));
  try {
    CMI_JSON_Object reply;
    reply.add_pair("status_code", CMI_JSON_Value(code));
    if (!m_info_message.empty()) reply.add_pair("info_message", CMI_JSON_Value(m_info_message));
    if (!m_warning_message.empty()) {
      reply.add_pair("warning_message", CMI_JSON_Value(m_warning_message));
    }
    if (!m_error_message.empty()) reply.add_pair("error_message", CMI_JSON_Value(m_error_message));
    std::string text;
    reply.render(text);
    return text;
  } catch (...) {
    // Out of memory while rendering: the status alone still tells the host the outcome.
    return std::string("{\"status_code\":\"") + code + "\"}";
  }
}

CM_ProviderConfig* CM_MR_CMIParser::parse_provider_context(const std::string& text) {
  CM_TraceScope scope("CM_MR", kClass, "parse_provider_context");
  if (text.empty()) return nullptr;
  try {
    CMI_JSON_Object request(text);
    if (!request.is_parsed()) {
      scope.print(4, "Parse returned null\n");
      return nullptr;
    }
    std::string level_text;
    const std::int32_t level =
        member_text(request, "tracelevel", level_text) ? to_int(level_text) : 0;
    std::string subsystems;
    member_text(request, "tracesubsystem", subsystems);

    std::string name, base_url, dbset, userdb;
    if (!member_text(request, "providername", name) || !member_text(request, "baseurl", base_url) ||
        !member_text(request, "dbset", dbset) || !member_text(request, "userdb", userdb)) {
      return nullptr;
    }
    scope.print(4, "Creating provider config with url = %s, userdb = %s, dbset = %s\n",
                base_url.c_str(), userdb.c_str(), dbset.c_str());
    std::unique_ptr<CM_ProviderConfig> config(new (std::nothrow)
                                                  CM_ProviderConfig(name, base_url, userdb, dbset));
    if (!config) return nullptr;
    config->m_trace_level = level;
    if (level > 0) config->set_tracesubsystem(subsystems);
    return config.release();
  } catch (...) {
    return nullptr;
  }
}

CM_ChangeData* CM_MR_CMIParser::get_data(const std::string& text) {
  CM_TraceScope scope("CM_MR", kClass, "get_data");
  std::unique_ptr<CM_ChangeData> data(new (std::nothrow) CM_ChangeData());
  int status = parse_tw_data(text, data.get());
  if (status == 0) status = parse_mr_data(text, data.get());
  if (status != 0) return nullptr;
  return data.release();
}

int CM_MR_CMIParser::parse_tw_data(const std::string& text, CM_ChangeData* data) {
  CM_TraceScope scope("CMMR", kClass, "parse_tw_data");
  if (!data) return CM_STATUS_NO_RECORD;
  try {
    CMI_JSON_Object request(text);
    if (!request.is_parsed()) return CM_STATUS_FORMAT;
    std::unique_ptr<CMI_JSON_Value> version = request.get_value("twversion");
    if (!version) {
      scope.print(4, "TW version not found");
      return CM_STATUS_MISSING_MEMBER;
    }
    std::string selector, name;
    if (!member_text(*version, "universal_selector", selector)) {
      scope.print(4, "TW universal selector not found");
      return CM_STATUS_MISSING_MEMBER;
    }
    data->set_universal_selector(selector);
    if (!member_text(*version, "display_name", name)) {
      scope.print(4, "TW display name not found");
      return CM_STATUS_MISSING_MEMBER;
    }
    data->set_display_name(name);
    scope.print(4, "TW display name = %s, uselector = %s", name.c_str(), selector.c_str());
    return 0;
  } catch (...) {
    return CM_STATUS_FORMAT;
  }
}

int CM_MR_CMIParser::parse_mr_data(const std::string& text, CM_ChangeData* data) {
  CM_TraceScope scope("CMMR", kClass, "parse_mr_data");
  if (!data) return CM_STATUS_NO_RECORD;
  try {
    CMI_JSON_Object request(text);
    if (!request.is_parsed()) return CM_STATUS_FORMAT;
    std::unique_ptr<CMI_JSON_Value> task = request.get_value("cmtask");
    if (!task) {
      scope.print(4, "MR information not found");
      return CM_STATUS_MISSING_MEMBER;
    }
    std::string id;
    if (!member_text(*task, "taskid", id)) {
      scope.print(4, "MR Record id not found");
      return CM_STATUS_MISSING_MEMBER;
    }
    data->set_record_id(id);
    scope.print(4, "MR Record id = %s", id.c_str());
    return 0;
  } catch (...) {
    return CM_STATUS_FORMAT;
  }
}
