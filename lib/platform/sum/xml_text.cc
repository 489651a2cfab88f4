#include "platform/sum/xml_text.h"

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

bool escaped(unsigned char c) {
  // The characters below 64 that are escaped, as bits: tab, line feed, carriage return, '"',
  // '&', '\'', '<' and '>'.
  constexpr uint64_t kEscaped = (1ull << '\t') | (1ull << '\n') | (1ull << '\r') | (1ull << '"') |
                                (1ull << '&') | (1ull << '\'') | (1ull << '<') | (1ull << '>');
  return c < 64 && ((kEscaped >> c) & 1) != 0;
}

// The index of the first escaped character at or after i, or length. Sixteen bytes at a time
// where the processor allows: URLs of tens of bytes are written by the thousand.
size_t next_escaped(const char* text, size_t i, size_t length) {
#if defined(__SSE2__)
  const __m128i specials[] = {_mm_set1_epi8('\t'), _mm_set1_epi8('\n'), _mm_set1_epi8('\r'),
                              _mm_set1_epi8('"'),  _mm_set1_epi8('&'),  _mm_set1_epi8('\''),
                              _mm_set1_epi8('<'),  _mm_set1_epi8('>')};
  for (; i + 16 <= length; i += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    __m128i hits = _mm_setzero_si128();
    for (const __m128i& special : specials)
      hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, special));
    const int mask = _mm_movemask_epi8(hits);
    if (mask != 0) return i + static_cast<size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < length; ++i)
    if (escaped(static_cast<unsigned char>(text[i]))) return i;
  return length;
}

const char* entity_of(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\'':
      return "&apos;";
    case '\t':
      return "&#9;";
    case '\n':
      return "&#10;";
    default:
      return "&#13;";
  }
}

}  // namespace

void sum_append_xml_escaped(std::string& out, const char* text, size_t length) {
  size_t plain = 0;  // start of the run of characters that need no escaping
  for (size_t i = next_escaped(text, 0, length); i < length;
       i = next_escaped(text, i + 1, length)) {
    out.append(text + plain, i - plain);
    out += entity_of(text[i]);
    plain = i + 1;
  }
  out.append(text + plain, length - plain);
}

void sum_append_xml_escaped(std::string& out, const std::string& text) {
  sum_append_xml_escaped(out, text.data(), text.size());
}
