#include "platform/sum/xml_text.h"

#include <cstdint>
#include <cstring>

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

// The length of text once escaped.
size_t escaped_length_of(const char* text, size_t length) {
  size_t escaped_length = length;
  for (size_t i = next_escaped(text, 0, length); i < length; i = next_escaped(text, i + 1, length))
    escaped_length += strlen(entity_of(text[i])) - 1;
  return escaped_length;
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

namespace {

#if defined(__SSE2__)
bool block_flagged(__m128i block) {
  __m128i hits = _mm_cmpeq_epi8(block, _mm_setzero_si128());
  for (const char special : {'\t', '\n', '\r', '"', '&', '\'', '<', '>'})
    hits = _mm_or_si128(hits, _mm_cmpeq_epi8(block, _mm_set1_epi8(special)));
  return _mm_movemask_epi8(_mm_or_si128(hits, block)) != 0;  // with the high bits: not ASCII
}

__m128i load_block(const char* text) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(text));
}
#endif

// Whether any of the length bytes at text is flagged, reading none beyond them: a long text block
// by block, the last block overlapping the one before, a short one as a block of overlapping
// pieces (the texts written by the thousand are titles and URLs of tens of bytes).
bool any_flagged(const char* text, size_t length) {
#if defined(__SSE2__)
  if (length >= 16) {
    for (size_t i = 0; i + 16 < length; i += 16)
      if (block_flagged(load_block(text + i))) return true;
    return block_flagged(load_block(text + length - 16));
  }
  uint64_t low = 0, high = 0;
  if (length >= 8) {
    memcpy(&low, text, 8);
    memcpy(&high, text + length - 8, 8);
  } else if (length >= 4) {
    uint32_t first = 0, last = 0;
    memcpy(&first, text, 4);
    memcpy(&last, text + length - 4, 4);
    low = high = first | static_cast<uint64_t>(last) << 32;
  } else if (length > 0) {
    const auto byte = [text](size_t i) {
      return static_cast<uint64_t>(static_cast<unsigned char>(text[i]));
    };
    const uint64_t three = byte(0) | byte(length / 2) << 8 | byte(length - 1) << 16;
    low = high = three | three << 24 | byte(0) << 48 | byte(0) << 56;
  } else {
    return false;
  }
  return block_flagged(_mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low)));
#else
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == 0 || c >= 0x80 || escaped(c)) return true;
  }
  return false;
#endif
}

}  // namespace

bool sum_xml_ascii_escaped_length(const char* text, size_t length, size_t& used,
                                  size_t& escaped_length) {
  used = length;
  escaped_length = length;
  if (!any_flagged(text, length)) return true;
  // Something to look at closer: rare in the texts written by the thousand.
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) return false;
    if (c == 0 && used == length) used = i;
  }
  escaped_length = escaped_length_of(text, used);
  return true;
}

char* sum_write_xml_escaped(char* dest, const char* text, size_t length) {
  size_t plain = 0;
  for (size_t i = next_escaped(text, 0, length); i < length;
       i = next_escaped(text, i + 1, length)) {
    memcpy(dest, text + plain, i - plain);
    dest += i - plain;
    const char* entity = entity_of(text[i]);
    const size_t entity_length = strlen(entity);
    memcpy(dest, entity, entity_length);
    dest += entity_length;
    plain = i + 1;
  }
  memcpy(dest, text + plain, length - plain);
  return dest + (length - plain);
}

void sum_append_xml_escaped(std::string& out, const std::string& text) {
  sum_append_xml_escaped(out, text.data(), text.size());
}
