// The JSON layer of the library: CMI_JSON_Value (any JSON value) and CMI_JSON_Object (an object
// whose members keep their insertion order), for reading requests and rendering replies. Internal
// to the library: never include from a public header. Nothing here throws: a text that is not
// exactly one JSON object (or nests deeper than kMaxDepth) simply does not parse, and rendering
// always yields valid JSON, replacing byte sequences that are not UTF-8. Values are self-contained
// copies; not thread-safe (one caller at a time).
#ifndef PLATFORM_JSON_CMI_JSON_H
#define PLATFORM_JSON_CMI_JSON_H

#include <cstddef>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

class CMI_JSON_Value {
 public:
  // A JSON null.
  CMI_JSON_Value();
  // A JSON string holding `text` (any bytes).
  explicit CMI_JSON_Value(const std::string& text);
  CMI_JSON_Value(const CMI_JSON_Value& other);
  CMI_JSON_Value& operator=(const CMI_JSON_Value& other);
  virtual ~CMI_JSON_Value();

  // The value's text: a string's characters, any other value as its JSON text.
  virtual void get_text(std::string& out) const;
  std::string text() const;

  bool is_object() const;
  bool is_string() const;
  // The member `key` of an object value (a CMI_JSON_Object when the member is an object), or null
  // when this is not an object or has no such member.
  std::unique_ptr<CMI_JSON_Value> get_value(const std::string& key) const;

  // Renders the value as compact JSON text.
  virtual void render(std::string& out) const;
  std::string to_string() const;

  // Internal: the value as the JSON engine holds it.
  const nlohmann::ordered_json& json() const { return m_json; }

 protected:
  struct FromJson {};
  CMI_JSON_Value(FromJson, nlohmann::ordered_json json);
  nlohmann::ordered_json m_json;

  friend class CMI_JSON_Object;
};

class CMI_JSON_Object : public CMI_JSON_Value {
 public:
  // Deepest nesting of objects and arrays a parsed text may have.
  static constexpr int kMaxDepth = 512;

  // An empty object (parsed).
  CMI_JSON_Object();
  // Parses `text`; is_parsed() tells whether it was exactly one JSON object.
  explicit CMI_JSON_Object(const std::string& text);
  CMI_JSON_Object(const CMI_JSON_Object& other);
  CMI_JSON_Object& operator=(const CMI_JSON_Object& other);
  ~CMI_JSON_Object() override;

  // Nonzero when the object holds a parsed (or built) object, 0 when the text did not parse.
  virtual int is_parsed() const;

  // Appends the member (a later pair with the same key replaces the earlier value in place).
  // Returns 0, nonzero when the object did not parse or memory ran out.
  int add_pair(const std::string& key, const CMI_JSON_Value& value);

  // `text` escaped for use between the quotes of a JSON string (no quotes added); bytes that are
  // not UTF-8 become U+FFFD.
  static std::string escape_string(const std::string& text);

 private:
  CMI_JSON_Object(FromJson, nlohmann::ordered_json json);
  bool m_parsed = true;

  friend class CMI_JSON_Value;
};

#endif
