#include "platform/sum/xml_text.h"

#include <cstdint>

void sum_append_utf8(std::string& out, const char16_t* text) {
  if (text == nullptr) return;
  for (const char16_t* p = text; *p != 0; ++p) {
    uint32_t c = *p;
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (p[1] - 0xDC00);
      ++p;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
}

void sum_append_xml_escaped(std::string& out, const char* text, size_t length) {
  // The characters below that are escaped, as bits: tab, line feed, carriage return, '"', '&',
  // '\'', '<' and '>'.
  constexpr uint64_t kEscaped = (1ull << '\t') | (1ull << '\n') | (1ull << '\r') | (1ull << '"') |
                                (1ull << '&') | (1ull << '\'') | (1ull << '<') | (1ull << '>');
  size_t plain = 0;  // start of the run of characters that need no escaping
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 64 || ((kEscaped >> c) & 1) == 0) continue;
    const char* entity;
    switch (c) {
      case '&':
        entity = "&amp;";
        break;
      case '<':
        entity = "&lt;";
        break;
      case '>':
        entity = "&gt;";
        break;
      case '"':
        entity = "&quot;";
        break;
      case '\'':
        entity = "&apos;";
        break;
      case '\t':
        entity = "&#9;";
        break;
      case '\n':
        entity = "&#10;";
        break;
      default:
        entity = "&#13;";
        break;
    }
    out.append(text + plain, i - plain);
    out += entity;
    plain = i + 1;
  }
  out.append(text + plain, length - plain);
}

void sum_append_xml_escaped(std::string& out, const std::string& text) {
  sum_append_xml_escaped(out, text.data(), text.size());
}
