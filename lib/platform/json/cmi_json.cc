#include "platform/json/cmi_json.h"

#include <exception>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

using ojson = nlohmann::ordered_json;

// Builds the document with an explicit stack so that neither nesting depth nor member count can
// exhaust the stack or turn quadratic: the ordered object's own insert searches linearly, so member
// keys are indexed here while their object is open.
class Builder : public nlohmann::json_sax<ojson> {
 public:
  explicit Builder(ojson& root) : m_root(root) {}

  bool null() override { return put(ojson()); }
  bool boolean(bool v) override { return put(ojson(v)); }
  bool number_integer(number_integer_t v) override { return put(ojson(v)); }
  bool number_unsigned(number_unsigned_t v) override { return put(ojson(v)); }
  bool number_float(number_float_t v, const string_t&) override { return put(ojson(v)); }
  bool string(string_t& v) override { return put(ojson(std::move(v))); }
  bool binary(binary_t& v) override { return put(ojson::binary(std::move(v))); }

  bool start_object(std::size_t) override { return open(ojson::object()); }
  bool start_array(std::size_t) override { return open(ojson::array()); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }

  bool key(string_t& k) override {
    m_key = std::move(k);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  struct Frame {
    ojson* node;
    std::unordered_map<std::string, std::size_t> index;  // objects only
  };

  // Places v as the next element of the open container (or as the root) and returns its address.
  ojson* place(ojson&& v) {
    if (m_stack.empty()) {
      if (m_have_root) return nullptr;  // a second top-level value
      m_have_root = true;
      m_root = std::move(v);
      return &m_root;
    }
    Frame& top = m_stack.back();
    if (top.node->is_array()) {
      auto& arr = top.node->get_ref<ojson::array_t&>();
      arr.push_back(std::move(v));
      return &arr.back();
    }
    using Items = std::vector<std::pair<const std::string, ojson>>;
    Items& items = top.node->get_ref<ojson::object_t&>();
    auto found = top.index.find(m_key);
    if (found != top.index.end()) {  // duplicate key: the later value wins, in place
      items[found->second].second = std::move(v);
      return &items[found->second].second;
    }
    items.emplace_back(m_key, std::move(v));
    top.index.emplace(m_key, items.size() - 1);
    return &items.back().second;
  }

  bool put(ojson&& v) { return place(std::move(v)) != nullptr; }

  bool open(ojson&& v) {
    if (static_cast<int>(m_stack.size()) >= CMI_JSON_Object::kMaxDepth) return false;
    ojson* node = place(std::move(v));
    if (!node) return false;
    m_stack.push_back(Frame{node, {}});
    return true;
  }

  bool close() {
    if (m_stack.empty()) return false;
    m_stack.pop_back();
    return true;
  }

  ojson& m_root;
  bool m_have_root = false;
  std::string m_key;
  std::vector<Frame> m_stack;
};

std::string dump(const ojson& j) {
  try {
    return j.dump(-1, ' ', false, ojson::error_handler_t::replace);
  } catch (...) {
    return "null";
  }
}

}  // namespace

CMI_JSON_Value::CMI_JSON_Value() = default;

CMI_JSON_Value::CMI_JSON_Value(const std::string& text) {
  try {
    m_json = text;
  } catch (...) {
    m_json = nullptr;
  }
}

CMI_JSON_Value::CMI_JSON_Value(FromJson, nlohmann::ordered_json json) : m_json(std::move(json)) {}

CMI_JSON_Value::CMI_JSON_Value(const CMI_JSON_Value& other) = default;
CMI_JSON_Value& CMI_JSON_Value::operator=(const CMI_JSON_Value& other) = default;
CMI_JSON_Value::~CMI_JSON_Value() = default;

void CMI_JSON_Value::get_text(std::string& out) const {
  try {
    if (m_json.is_string()) {
      out = m_json.get_ref<const std::string&>();
    } else {
      out = dump(m_json);
    }
  } catch (...) {
    out.clear();
  }
}

std::string CMI_JSON_Value::text() const {
  std::string out;
  get_text(out);
  return out;
}

bool CMI_JSON_Value::is_object() const { return m_json.is_object(); }
bool CMI_JSON_Value::is_string() const { return m_json.is_string(); }

std::unique_ptr<CMI_JSON_Value> CMI_JSON_Value::get_value(const std::string& key) const {
  try {
    if (!m_json.is_object()) return nullptr;
    auto it = m_json.find(key);
    if (it == m_json.end()) return nullptr;
    if (it->is_object())
      return std::unique_ptr<CMI_JSON_Value>(new CMI_JSON_Object(FromJson{}, *it));
    return std::unique_ptr<CMI_JSON_Value>(new CMI_JSON_Value(FromJson{}, *it));
  } catch (...) {
    return nullptr;
  }
}

void CMI_JSON_Value::render(std::string& out) const {
  try {
    out = dump(m_json);
  } catch (...) {
    out = "null";
  }
}

std::string CMI_JSON_Value::to_string() const {
  std::string out;
  render(out);
  return out;
}

CMI_JSON_Object::CMI_JSON_Object() : CMI_JSON_Value(FromJson{}, ojson::object()) {}

CMI_JSON_Object::CMI_JSON_Object(FromJson, nlohmann::ordered_json json)
    : CMI_JSON_Value(FromJson{}, std::move(json)) {}

CMI_JSON_Object::CMI_JSON_Object(const std::string& text) : m_parsed(false) {
  try {
    ojson root;
    Builder builder(root);
    const bool ok = ojson::sax_parse(text, &builder, ojson::input_format_t::json, true, false);
    if (ok && root.is_object()) {
      m_json = std::move(root);
      m_parsed = true;
    }
  } catch (...) {
    m_json = nullptr;
    m_parsed = false;
  }
  if (!m_parsed) m_json = nullptr;
}

CMI_JSON_Object::CMI_JSON_Object(const CMI_JSON_Object& other) = default;
CMI_JSON_Object& CMI_JSON_Object::operator=(const CMI_JSON_Object& other) = default;
CMI_JSON_Object::~CMI_JSON_Object() = default;

int CMI_JSON_Object::is_parsed() const { return m_parsed && m_json.is_object() ? 1 : 0; }

int CMI_JSON_Object::add_pair(const std::string& key, const CMI_JSON_Value& value) {
  if (!is_parsed()) return 1;
  try {
    m_json[key] = value.m_json;
    return 0;
  } catch (...) {
    return 1;
  }
}

std::string CMI_JSON_Object::escape_string(const std::string& text) {
  try {
    const std::string quoted = dump(ojson(text));
    if (quoted.size() >= 2 && quoted.front() == '"' && quoted.back() == '"') {
      return quoted.substr(1, quoted.size() - 2);
    }
  } catch (...) {
  }
  return std::string();
}
