// UTF-16 (Xerces-C's XMLCh) to UTF-8, for code that writes XML bytes itself. Any module may call.
#ifndef PLATFORM_SUM_UTF16_H
#define PLATFORM_SUM_UTF16_H

#include <string>

// Appends text (NUL-terminated, may be null) to out as UTF-8; a lone surrogate becomes U+FFFD.
void sum_append_utf8(std::string& out, const char16_t* text);

#endif
