// The host's request and reply formats: CM_ProviderConfig (a parsed INITIALIZE request),
// CM_ChangeData (one parsed ASSOCIATE/DISASSOCIATE change), CM_OpResult (an operation's outcome,
// rendered as the reply) and CM_MR_CMIParser (request text -> record). Records are plain values;
// the parser's new records belong to the caller. Used by the provider, session and engine.
// action_name (the trace name of an action type) lives with CM_ActionType in cm_action_map.h.
#ifndef CM_PROVIDER_CM_MR_CMI_PARSER_H
#define CM_PROVIDER_CM_MR_CMI_PARSER_H

#include <cstdint>
#include <string>

#include "CM_Provider/cm_status.h"

class CM_ProviderConfig {
 public:
  // Trace level 0 and an empty trace subsystem; set those afterwards.
  CM_ProviderConfig(const std::string& name, const std::string& base_url, const std::string& userdb,
                    const std::string& dbset);
  virtual ~CM_ProviderConfig();

  std::string get_name() const { return m_name; }
  std::string get_base_url() const { return m_base_url; }
  std::string get_dbset() const { return m_dbset; }
  std::string get_userdb() const { return m_userdb; }
  std::string get_tracesubsystem() const { return m_tracesubsystem; }
  void set_tracesubsystem(const std::string& subsystems) { m_tracesubsystem = subsystems; }

 private:
  std::string m_name;
  std::string m_base_url;
  std::string m_dbset;
  std::string m_userdb;

 public:
  // Read and set directly.
  std::int32_t m_trace_level = 0;

 private:
  std::string m_tracesubsystem;
};

class CM_ChangeData {
 public:
  CM_ChangeData();
  virtual ~CM_ChangeData();
  CM_ChangeData(const CM_ChangeData&) = default;
  // Takes the texts over; the action map moves each change it files into storage of its own.
  CM_ChangeData(CM_ChangeData&&) noexcept = default;
  CM_ChangeData& operator=(const CM_ChangeData&) = default;
  CM_ChangeData& operator=(CM_ChangeData&&) noexcept = default;

  const std::string& get_universal_selector() const { return m_universal_selector; }
  const std::string& get_display_name() const { return m_display_name; }
  const std::string& get_record_id() const { return m_record_id; }
  void set_universal_selector(const std::string& value) { m_universal_selector = value; }
  void set_display_name(const std::string& value) { m_display_name = value; }
  void set_record_id(const std::string& value) { m_record_id = value; }

 private:
  std::string m_universal_selector;
  std::string m_display_name;
  std::string m_record_id;
};

class CM_OpResult {
 public:
  CM_OpResult();
  virtual ~CM_OpResult();

  void set_error_message(const std::string& text) { m_error_message = text; }
  // The reply: {"status_code":"<code>"} followed by the non-empty messages, in this order.
  // Always valid JSON; bytes that are not UTF-8 render as U+FFFD.
  std::string to_json() const;

  std::int32_t m_status_code = 0;
  std::string m_info_message;
  std::string m_warning_message;
  std::string m_error_message;
};

class CM_MR_CMIParser {
 public:
  // A new configuration (the caller owns it), or null when the text is empty, not a JSON object
  // or lacks "providername", "baseurl", "dbset" or "userdb".
  static CM_ProviderConfig* parse_provider_context(const std::string& text);
  // A new, completely filled change record (the caller owns it), or null.
  static CM_ChangeData* get_data(const std::string& text);
  // Fill `data` from "twversion" / "cmtask". 0, 10001 (no record), 10002 (not a JSON object) or
  // 10005 (a required member missing).
  static int parse_tw_data(const std::string& text, CM_ChangeData* data);
  static int parse_mr_data(const std::string& text, CM_ChangeData* data);
};

#endif
