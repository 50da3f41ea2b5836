// The one way the front end writes to the terminal. Text from the device (settings, file names,
// the device's own settings file) may hold control characters that move the cursor, retitle the
// window or change the terminal's state; here they cannot reach it raw whatever the caller does.
// A lint test (vyr/base/tests/print_lint.cmake) refuses any other printing call under vyr/.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>
#include <string_view>

namespace vyr::out {

// Formats like std::printf, except that every %s argument goes through printable() first (its
// flags, width and precision then apply to the escaped text), so device text cannot reach the
// terminal raw: only the format's own characters (its newlines) are kept as they are. Returns
// false when TO could not take it all.
bool print(std::FILE* to, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The same formatting, into a string (for output that travels to a front end first).
std::string format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatList(const char* format, std::va_list args) __attribute__((format(printf, 1, 0)));

// TEXT, lines the program built (help, a report), each line escaped with its newlines kept.
bool lines(std::FILE* to, std::string_view text);

// A terminal drawing from render/terminal: its colour escapes are the program's own and the
// device texts it embeds were escaped where it embeds them, so it is written as it is.
bool drawing(std::FILE* to, std::string_view drawing);

// The bytes of a file the user asked to have on standard output (a PNG, a profile): data for a
// pipe, not text, written as they are.
bool bytes(std::FILE* to, std::string_view data);

}  // namespace vyr::out
