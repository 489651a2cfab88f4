// Helpers for code that writes XML bytes itself: UTF-16 (Xerces-C's XMLCh) to UTF-8, and text
// escaping. Any module may call.
#ifndef PLATFORM_SUM_XML_TEXT_H
#define PLATFORM_SUM_XML_TEXT_H

#include <cstddef>
#include <string>

// Appends text (NUL-terminated, may be null) to out as UTF-8; a lone surrogate becomes U+FFFD.
void sum_append_utf8(std::string& out, const char16_t* text);
// Appends text escaped for element content or an attribute value: markup characters and quotes
// as entities, tab, line feed and carriage return as character references, so that they come
// back unchanged from content and from attribute-value normalisation alike.
void sum_append_xml_escaped(std::string& out, const std::string& text);
void sum_append_xml_escaped(std::string& out, const char* text, size_t length);
// For a writer that takes plain ASCII text a faster way, in one pass: false when a byte of text
// is not ASCII; else used, the length before the first NUL (where a converted text ends), and
// escaped_length, that part's length once escaped.
bool sum_xml_ascii_escaped_length(const char* text, size_t length, size_t& used,
                                  size_t& escaped_length);
// The same escaping into memory the caller sized (the escaped length); returns the end.
char* sum_write_xml_escaped(char* dest, const char* text, size_t length);

#endif
