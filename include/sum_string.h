// SUM_String and SUM_StringList: the narrow text and list-of-text value types that nearly every
// interface of the library passes. Part of the public interface (exported classes use them).
#ifndef SUM_STRING_H
#define SUM_STRING_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "cm_export.h"

class CM_EXPORT SUM_String {
 public:
  SUM_String();
  SUM_String(const char* text);  // NOLINT(google-explicit-constructor): used like a C string
  SUM_String(const char* text, int length);
  SUM_String(const std::string& text);  // NOLINT(google-explicit-constructor)
  SUM_String(const SUM_String& other);
  SUM_String(SUM_String&& other) noexcept;
  ~SUM_String();

  SUM_String& operator=(const SUM_String& other);
  SUM_String& operator=(SUM_String&& other) noexcept;
  SUM_String& operator=(const char* text);
  SUM_String& operator+=(const SUM_String& other);
  SUM_String& operator+=(const char* text);

  int GetLength() const;
  void Empty();
  // Never null: an empty string reads as "".
  const char* c_str() const;
  operator const char*() const { return c_str(); }  // NOLINT(google-explicit-constructor)
  std::string str() const;

  char operator[](int index) const;
  // Index of the first occurrence at or after start, or -1.
  int Find(const char* text, int start = 0) const;
  SUM_String Mid(int start) const;
  SUM_String Mid(int start, int count) const;
  // 0 when equal byte for byte; sign as strcmp otherwise.
  int Compare(const SUM_String& other) const;
  // 0 when equal ignoring ASCII letter case.
  int CompareNoCase(const char* text) const;

  bool operator==(const SUM_String& other) const;
  bool operator!=(const SUM_String& other) const;
  bool operator==(const char* text) const;
  bool operator!=(const char* text) const;
  // Byte-wise order (unsigned bytes): the key order of every ordered map of the library.
  bool operator<(const SUM_String& other) const;

  // A writable buffer of at least size+1 bytes; the string's length becomes the position of the
  // first NUL written into it (call ReleaseBuffer or any reading operation afterwards).
  char* GetBuffer(int size);
  void ReleaseBuffer();

 private:
  // Inline: every reading operation calls it, comparisons of map keys by the thousand.
  void Sync() const {
    if (m_buffer_out) SyncBuffer();
  }
  void SyncBuffer() const;
  mutable std::string m_text;
  mutable bool m_buffer_out = false;
};

// The text of a SUM_String where it lies; valid until the string changes.
inline std::string_view sum_view(const SUM_String& text) {
  return std::string_view(text.c_str(), static_cast<std::size_t>(text.GetLength()));
}

CM_EXPORT SUM_String operator+(const SUM_String& a, const SUM_String& b);
CM_EXPORT SUM_String operator+(const SUM_String& a, const char* b);
CM_EXPORT SUM_String operator+(const char* a, const SUM_String& b);

class CM_EXPORT SUM_StringList {
 public:
  SUM_StringList();
  SUM_StringList(const SUM_StringList& other);
  SUM_StringList& operator=(const SUM_StringList& other);
  ~SUM_StringList();

  void append(const SUM_String& text);
  void clear();
  const SUM_String& operator[](int index) const;
  SUM_String& operator[](int index);
  int count() const;

 private:
  std::vector<SUM_String> m_items;
};

#endif
