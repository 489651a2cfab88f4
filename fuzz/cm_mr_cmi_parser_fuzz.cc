// Feeds arbitrary request texts to the request parsers and the reply renderer: none may crash,
// throw, overflow the stack or hand out a half-filled record, and every reply must parse back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "CM_Provider/cm_mr_cmi_parser.h"
#include "platform/json/cmi_json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  const std::string text(reinterpret_cast<const char*>(bytes), size);

  std::unique_ptr<CM_ProviderConfig> config(CM_MR_CMIParser::parse_provider_context(text));
  if (config && config->m_trace_level <= 0 && !config->get_tracesubsystem().empty()) abort();

  std::unique_ptr<CM_ChangeData> data(CM_MR_CMIParser::get_data(text));
  if (data) {
    // A record is handed out only when both halves were found.
    CM_ChangeData check;
    if (CM_MR_CMIParser::parse_tw_data(text, &check) != 0) abort();
    if (CM_MR_CMIParser::parse_mr_data(text, &check) != 0) abort();
    if (check.get_record_id() != data->get_record_id()) abort();
  }

  CM_OpResult result;
  result.m_status_code = static_cast<int32_t>(size);
  result.m_error_message = text;
  if (data) result.m_info_message = data->get_display_name();
  const std::string reply = result.to_json();
  if (!CMI_JSON_Object(reply).is_parsed()) abort();
  const std::string escaped = CMI_JSON_Object::escape_string(text);
  if (!CMI_JSON_Object("{\"e\":\"" + escaped + "\"}").is_parsed()) abort();
  return 0;
}
