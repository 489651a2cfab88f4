#include <sum_string.h>

#include <cstring>
#include <utility>

// A buffer handed out by GetBuffer may have been written through; the text ends at its first NUL.
void SUM_String::SyncBuffer() const {
  m_text.resize(strnlen(m_text.data(), m_text.size()));
  m_buffer_out = false;
}

SUM_String::SUM_String() = default;

SUM_String::SUM_String(const char* text) {
  if (text) m_text = text;
}

SUM_String::SUM_String(const char* text, int length) {
  if (!text) return;
  if (length < 0)
    m_text = text;
  else
    m_text.assign(text, static_cast<size_t>(length));
}

SUM_String::SUM_String(const std::string& text) : m_text(text) {}

SUM_String::SUM_String(const SUM_String& other) {
  other.Sync();
  m_text = other.m_text;
}

SUM_String::SUM_String(SUM_String&& other) noexcept {
  other.Sync();
  m_text.swap(other.m_text);
}

SUM_String::~SUM_String() = default;

SUM_String& SUM_String::operator=(const SUM_String& other) {
  if (this == &other) return *this;
  other.Sync();
  m_text = other.m_text;
  m_buffer_out = false;
  return *this;
}

SUM_String& SUM_String::operator=(SUM_String&& other) noexcept {
  if (this == &other) return *this;
  other.Sync();
  m_text.swap(other.m_text);
  other.m_text.clear();
  m_buffer_out = false;
  return *this;
}

SUM_String& SUM_String::operator=(const char* text) {
  m_buffer_out = false;
  // The text may point into this string's own storage.
  std::string copy(text ? text : "");
  m_text.swap(copy);
  return *this;
}

SUM_String& SUM_String::operator+=(const SUM_String& other) {
  Sync();
  other.Sync();
  if (this == &other) {
    std::string copy(m_text);
    m_text += copy;
  } else {
    m_text += other.m_text;
  }
  return *this;
}

SUM_String& SUM_String::operator+=(const char* text) {
  Sync();
  if (text) m_text += std::string(text);
  return *this;
}

int SUM_String::GetLength() const {
  Sync();
  return static_cast<int>(m_text.size());
}

void SUM_String::Empty() {
  m_buffer_out = false;
  m_text.clear();
}

const char* SUM_String::c_str() const {
  Sync();
  return m_text.c_str();
}

std::string SUM_String::str() const {
  Sync();
  return m_text;
}

char SUM_String::operator[](int index) const {
  Sync();
  if (index < 0 || static_cast<size_t>(index) >= m_text.size()) return '\0';
  return m_text[static_cast<size_t>(index)];
}

int SUM_String::Find(const char* text, int start) const {
  Sync();
  if (!text) return -1;
  if (start < 0) start = 0;
  if (static_cast<size_t>(start) > m_text.size()) return -1;
  size_t pos = m_text.find(text, static_cast<size_t>(start));
  return pos == std::string::npos ? -1 : static_cast<int>(pos);
}

SUM_String SUM_String::Mid(int start) const {
  Sync();
  if (start < 0) start = 0;
  if (static_cast<size_t>(start) >= m_text.size()) return SUM_String();
  return SUM_String(m_text.substr(static_cast<size_t>(start)));
}

SUM_String SUM_String::Mid(int start, int count) const {
  Sync();
  if (start < 0) {
    count += start;
    start = 0;
  }
  if (count <= 0 || static_cast<size_t>(start) >= m_text.size()) return SUM_String();
  return SUM_String(m_text.substr(static_cast<size_t>(start), static_cast<size_t>(count)));
}

int SUM_String::Compare(const SUM_String& other) const {
  Sync();
  other.Sync();
  int c = m_text.compare(other.m_text);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int SUM_String::CompareNoCase(const char* text) const {
  Sync();
  if (!text) text = "";
  const unsigned char* a = reinterpret_cast<const unsigned char*>(m_text.c_str());
  const unsigned char* b = reinterpret_cast<const unsigned char*>(text);
  size_t n = m_text.size();
  size_t i = 0;
  for (;; ++i) {
    int ca = i < n ? a[i] : -1;
    int cb = b[i] ? b[i] : -1;
    if (ca == -1 || cb == -1) return ca == cb ? 0 : (ca < cb ? -1 : 1);
    if (ca >= 'A' && ca <= 'Z') ca += 'a' - 'A';
    if (cb >= 'A' && cb <= 'Z') cb += 'a' - 'A';
    if (ca != cb) return ca < cb ? -1 : 1;
  }
}

bool SUM_String::operator==(const SUM_String& other) const {
  Sync();
  other.Sync();
  return m_text == other.m_text;
}

bool SUM_String::operator!=(const SUM_String& other) const { return !(*this == other); }

bool SUM_String::operator==(const char* text) const {
  Sync();
  return m_text == (text ? text : "");
}

bool SUM_String::operator!=(const char* text) const { return !(*this == text); }

bool SUM_String::operator<(const SUM_String& other) const {
  Sync();
  other.Sync();
  return m_text < other.m_text;
}

char* SUM_String::GetBuffer(int size) {
  Sync();
  size_t want = size > 0 ? static_cast<size_t>(size) : 0;
  if (want < m_text.size()) want = m_text.size();
  // One byte beyond `size` that we own, so a full-size result still has room for its NUL.
  m_text.resize(want + 1, '\0');
  m_buffer_out = true;
  return &m_text[0];
}

void SUM_String::ReleaseBuffer() { Sync(); }

SUM_String operator+(const SUM_String& a, const SUM_String& b) {
  SUM_String r(a);
  r += b;
  return r;
}

SUM_String operator+(const SUM_String& a, const char* b) {
  SUM_String r(a);
  r += b;
  return r;
}

SUM_String operator+(const char* a, const SUM_String& b) {
  SUM_String r(a);
  r += b;
  return r;
}

SUM_StringList::SUM_StringList() = default;
SUM_StringList::SUM_StringList(const SUM_StringList& other) = default;
SUM_StringList& SUM_StringList::operator=(const SUM_StringList& other) = default;
SUM_StringList::~SUM_StringList() = default;

void SUM_StringList::append(const SUM_String& text) { m_items.push_back(text); }
void SUM_StringList::clear() { m_items.clear(); }
const SUM_String& SUM_StringList::operator[](int index) const {
  return m_items.at(static_cast<size_t>(index));
}
SUM_String& SUM_StringList::operator[](int index) { return m_items.at(static_cast<size_t>(index)); }
int SUM_StringList::count() const { return static_cast<int>(m_items.size()); }
