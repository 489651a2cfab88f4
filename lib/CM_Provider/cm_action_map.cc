#include "CM_Provider/cm_action_map.h"

#include <utility>

#include "CM_Provider/cm_mr_cmi_parser.h"

const char* action_name(CM_ActionType type) {
  switch (type) {
    case CM_ActionType::None:
      return "None";
    case CM_ActionType::Associate:
      return "Associate";
    case CM_ActionType::Disassociate:
      return "Disassociate";
    case CM_ActionType::Validate:
      return "Validate";
    case CM_ActionType::Repair:
      return "Repair";
  }
  return "Unknown";
}

CM_Action::CM_Action(CM_ActionType type, CM_ChangeData* data) : m_type(type), m_data(data) {}

CM_Action::~CM_Action() = default;

std::string CM_Action::record_id() const {
  if (!m_data) return std::string();
  return m_data->get_record_id();
}

bool CM_ActionMap::add(std::unique_ptr<CM_Action> action) {
  if (!action) return false;
  std::string id = action->record_id();
  auto it = m_map.find(id);
  if (it == m_map.end()) {
    CM_ActionList list;
    list.push_back(std::move(action));
    m_map.emplace(std::move(id), std::move(list));
    return true;
  }
  it->second.push_back(std::move(action));
  return false;
}

std::size_t CM_ActionMap::action_count() const {
  std::size_t n = 0;
  for (const auto& entry : m_map) n += entry.second.size();
  return n;
}

const CM_ActionList* CM_ActionMap::find(const std::string& record_id) const {
  auto it = m_map.find(record_id);
  return it == m_map.end() ? nullptr : &it->second;
}
