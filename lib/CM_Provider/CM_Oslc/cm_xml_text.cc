// Code-page conversion of the XML layer: one strict ICU converter for the process.
#include "CM_Provider/CM_Oslc/cm_xml_text.h"

#include <unicode/ucnv.h>
#include <unicode/ustring.h>
#include <unicode/utypes.h>
#include <xercesc/util/PlatformUtils.hpp>
#include <xercesc/util/XMLString.hpp>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "CM_Provider/cm_messages.h"
#include "platform/ks/ks.h"

XERCES_CPP_NAMESPACE_USE

namespace {

// The layer reports its internal errors under one name, whichever file they come from.
const char kSource[] = "lib/CM_Provider/CM_Oslc/cm_xml_util";

const imsg_table* mr_table() { return _cm_mr_CM_Oslc_msg_table_adr(); }

// Whether the native page writes ASCII as ASCII (true of UTF-8 and the ISO and Windows pages,
// not of EBCDIC): then ASCII text, most of what the tracker sends, converts without ICU.
bool g_ascii_identity = false;

bool ascii_is_identity(UConverter* converter) {
  UChar wide[128];
  char narrow[128];
  for (int i = 1; i < 128; ++i) narrow[i - 1] = static_cast<char>(i);
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = ucnv_toUChars(converter, wide, 128, narrow, 127, &status);
  if (U_FAILURE(status) || units != 127) return false;
  for (int i = 1; i < 128; ++i)
    if (wide[i - 1] != i) return false;
  char back[512];
  int32_t bytes = ucnv_fromUChars(converter, back, sizeof back, wide, 127, &status);
  return U_SUCCESS(status) && bytes == 127 && memcmp(back, narrow, 127) == 0;
}

// The code set named by the locale environment (LC_ALL, else LC_CTYPE, else LANG), as in
// "en_US.ISO-8859-1@euro"; empty when none is named. Read without setlocale: the host owns that.
std::string environment_codeset() {
  const char* names[] = {"LC_ALL", "LC_CTYPE", "LANG"};
  for (const char* name : names) {
    const char* value = getenv(name);
    if (value == nullptr || value[0] == '\0') continue;
    std::string locale(value);
    size_t dot = locale.find('.');
    if (dot == std::string::npos) return std::string();
    size_t at = locale.find('@', dot);
    return locale.substr(dot + 1, at == std::string::npos ? std::string::npos : at - dot - 1);
  }
  return std::string();
}

}  // namespace

int get_native_converter(UConverter** out) {
  // Opened once and kept for the process; never closed (other callers may hold it).
  static UConverter* s_converter = nullptr;
  if (s_converter != nullptr) {
    *out = s_converter;
    return 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  // ICU on Linux always answers UTF-8 for its default; the locale the process was started under
  // names the page its native texts are really in.
  std::string codeset = environment_codeset();
  UConverter* converter = nullptr;
  if (!codeset.empty()) {
    converter = ucnv_open(codeset.c_str(), &status);
    if (converter == nullptr || U_FAILURE(status)) {
      if (converter != nullptr) ucnv_close(converter);
      converter = nullptr;
      status = U_ZERO_ERROR;
    }
  }
  if (converter == nullptr) converter = ucnv_open(nullptr, &status);
  if (converter == nullptr) {
    cm_internal_error(kSource, __LINE__);
    *out = nullptr;
    return CM_XML_INTERNAL;
  }
  s_converter = converter;
  *out = converter;
  ucnv_setFallback(converter, false);
  if (U_SUCCESS(status)) {
    ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  if (U_SUCCESS(status)) {
    // Native bytes that are not valid in the code page must fail too, not become U+FFFD.
    ucnv_setToUCallBack(converter, UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
  }
  if (U_FAILURE(status)) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  g_ascii_identity = ascii_is_identity(converter);
  return 0;
}

bool native_ascii_is_identity() { return g_ascii_identity; }

int xmlch_to_native(const XMLCh* text, SUM_String& out, int quiet) {
  if (text == nullptr || text[0] == 0) {
    out.Empty();
    return 0;
  }
  UConverter* converter = nullptr;
  int rc = get_native_converter(&converter);
  if (rc != 0) return rc;

  const int64_t units = static_cast<int64_t>(XMLString::stringLen(text));
  if (g_ascii_identity && units < INT32_MAX) {
    int64_t ascii = 0;
    while (ascii < units && text[ascii] < 0x80) ++ascii;
    if (ascii == units) {
      try {
        char* buffer = out.GetBuffer(static_cast<int>(units));
        for (int64_t i = 0; i < units; ++i) buffer[i] = static_cast<char>(text[i]);
        buffer[units] = '\0';
        out.ReleaseBuffer();
        return 0;
      } catch (const std::bad_alloc&) {
        out.Empty();  // the general path below reports it
      }
    }
  }
  const int64_t capacity = (units + 10) * ucnv_getMaxCharSize(converter);
  UErrorCode status = U_ZERO_ERROR;
  if (capacity >= INT32_MAX) {
    status = U_BUFFER_OVERFLOW_ERROR;
    out.Empty();
  } else {
    try {
      char* buffer = out.GetBuffer(static_cast<int>(capacity));
      int32_t written = ucnv_fromUChars(converter, buffer, static_cast<int32_t>(capacity),
                                        reinterpret_cast<const UChar*>(text),
                                        static_cast<int32_t>(units), &status);
      buffer[U_SUCCESS(status) && written <= capacity ? written : 0] = '\0';
      out.ReleaseBuffer();
    } catch (const std::bad_alloc&) {
      status = U_MEMORY_ALLOCATION_ERROR;
      out.Empty();
    }
  }
  if (U_SUCCESS(status)) return 0;

  if (quiet == 0) {
    std::string shown;
    try {
      char* transcoded = XMLString::transcode(text);
      if (transcoded != nullptr) {
        shown = transcoded;
        XMLString::release(&transcoded);
      }
    } catch (...) {
      shown.clear();  // only decoration for the message
    }
    UErrorCode name_status = U_ZERO_ERROR;
    const char* page = ucnv_getName(converter, &name_status);
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotInCodePage, page != nullptr ? page : "",
               shown.c_str());
  }
  return CM_XML_REPORTED;
}

SUM_String xmlch_to_string(const XMLCh* text) {
  SUM_String out;
  xmlch_to_native(text, out, 0);
  return out;
}

namespace {

// Native text to a new NUL-terminated UTF-16 text, with the same strict ICU converter as the
// reverse direction, so that a text survives the round trip exactly. alloc(units) gives the
// buffer (null when memory is short), release(buffer) takes it back after a failed conversion.
// Text that is not valid native text gives message 23 and 1001.
template <typename Alloc, typename Release>
int to_utf16(const SUM_String& text, Alloc alloc, Release release, char16_t*& out) {
  out = nullptr;
  const int length = text.GetLength();
  UConverter* converter = nullptr;
  int rc = 0;
  if (length > 0) {
    rc = get_native_converter(&converter);
    if (rc != 0) return rc;
  }
  // A byte never yields more than one UTF-16 code unit, but leave room for stateful pages.
  const int64_t capacity = static_cast<int64_t>(length) * 2 + 2;
  if (capacity >= INT32_MAX / 2) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotUnicode, text.c_str());
    return CM_XML_REPORTED;
  }
  char16_t* buffer = nullptr;
  try {
    buffer = alloc(static_cast<size_t>(capacity));
  } catch (...) {
    buffer = nullptr;
  }
  if (buffer == nullptr) {
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotUnicode, text.c_str());
    return CM_XML_REPORTED;
  }
  buffer[0] = 0;
  if (length == 0) {
    out = buffer;
    return 0;
  }
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  int ascii = 0;
  while (g_ascii_identity && ascii < length && bytes[ascii] < 0x80) ++ascii;
  if (ascii == length) {
    for (int i = 0; i < length; ++i) buffer[i] = bytes[i];
    buffer[length] = 0;
    out = buffer;
    return 0;
  }
  UErrorCode status = U_ZERO_ERROR;
  int32_t units = ucnv_toUChars(converter, reinterpret_cast<UChar*>(buffer),
                                static_cast<int32_t>(capacity), text.c_str(), length, &status);
  if (U_FAILURE(status) || units <= 0 || units >= capacity) {
    release(buffer);
    imsg_print(IMSG_KIND_ERROR, mr_table(), kMrNotUnicode, text.c_str());
    return CM_XML_REPORTED;
  }
  buffer[units] = 0;
  out = buffer;
  return 0;
}

}  // namespace

// The result is allocated where XMLString::release frees it.
int native_to_xmlch(const SUM_String& text, XMLCh** out) {
  *out = nullptr;
  MemoryManager* memory = XMLPlatformUtils::fgMemoryManager;
  if (memory == nullptr) {
    cm_internal_error(kSource, __LINE__);
    return CM_XML_INTERNAL;
  }
  char16_t* buffer = nullptr;
  const int rc = to_utf16(
      text,
      [memory](size_t units) {
        return static_cast<char16_t*>(memory->allocate(units * sizeof(char16_t)));
      },
      [memory](char16_t* spent) { memory->deallocate(spent); }, buffer);
  *out = buffer;
  return rc;
}

int native_to_utf16(const SUM_String& text, std::u16string& out) {
  char16_t* buffer = nullptr;
  const int rc = to_utf16(
      text,
      [&out](size_t units) {
        out.assign(units, u'\0');
        return &out[0];
      },
      [](char16_t*) {}, buffer);
  // As the DOM sees it: up to the first NUL.
  out.resize(rc == 0 ? std::char_traits<char16_t>::length(out.c_str()) : 0);
  return rc;
}

CM_XmlText::~CM_XmlText() {
  if (m_text != nullptr) XMLString::release(&m_text);
}

int CM_XmlText::Convert(const SUM_String& text) {
  if (m_text != nullptr) XMLString::release(&m_text);
  return native_to_xmlch(text, &m_text);
}

bool ascii_only(const char* bytes, size_t length) {
  uint64_t high = 0;
  size_t i = 0;
  for (; i + sizeof high <= length; i += sizeof high) {
    uint64_t word;
    memcpy(&word, bytes + i, sizeof word);
    high |= word;
  }
  for (; i < length; ++i) high |= static_cast<unsigned char>(bytes[i]);
  return (high & 0x8080808080808080ull) == 0;
}

bool utf8_to_utf16(std::string_view text, std::u16string& out) {
  out.assign(text.size() + 1, u'\0');
  int32_t length = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), static_cast<int32_t>(out.size()), &length, text.data(),
                static_cast<int32_t>(text.size()), &status);
  if (U_FAILURE(status)) return false;
  out.resize(static_cast<size_t>(length));
  return true;
}

bool utf8_to_native(std::string_view text, SUM_String& out) {
  UConverter* converter = nullptr;
  // The page is known once the converter is open: ask for it only until then.
  if ((g_ascii_identity || (get_native_converter(&converter) == 0 && g_ascii_identity)) &&
      ascii_only(text.data(), text.size())) {
    out = SUM_String(text.data(), static_cast<int>(text.size()));
    return true;
  }
  std::u16string wide;
  return utf8_to_utf16(text, wide) && xmlch_to_native(wide.c_str(), out, 1) == 0;
}
