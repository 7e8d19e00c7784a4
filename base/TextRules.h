// Small text rules shared by the profile files, the HTTP client, the worker and the tools: blanks,
// ASCII letter case, integer texts and the parts of a path.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quarrow {

// Whether the bytes are well-formed UTF-8 (no overlong form, no surrogate, nothing past U+10FFFF).
bool IsUtf8(std::string_view text);
// The text with each byte that is no part of a well-formed character replaced by U+FFFD: what a
// JSON or XML file may hold of a name from elsewhere.
std::string ValidUtf8(std::string_view text);

constexpr bool IsBlank(char c) noexcept {
    return c == ' ' || c == '\t';
}

constexpr char LowerAscii(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept;
bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept;

// Without leading and trailing blanks.
std::string_view TrimBlanks(std::string_view text) noexcept;

// Every `from` in the text replaced by `to`, left to right; what was put in is not looked at again.
void ReplaceAll(std::string& text, std::string_view from, std::string_view to);

// Optional leading blanks and sign, then decimal digits, or hexadecimal digits after "$" or "0x".
// Hexadecimal takes the full 32 bits ("$FFFFFFFF" is -1); anything else, an empty text or a
// value beyond 32 bits included, is nullopt. The rule of profile-file integers and settings texts.
std::optional<int> ParseInteger(std::string_view text) noexcept;

// An optional sign and decimal digits that fit 32 bits, and nothing else.
std::optional<int> ParseDecimal(std::string_view text) noexcept;

// Control characters: C0 (NUL to US, line breaks and tabs included) and DEL.
constexpr bool IsControl(char c) noexcept {
    return static_cast<unsigned char>(c) < 0x20 || c == '\x7F';
}
bool HasControl(std::string_view text) noexcept;

// A text from outside made safe for a log line or a terminal: each control character becomes
// "?", so that no line break splits a line and no escape reaches a terminal.
std::string PrintableText(std::string_view text);

// A line for a terminal: its line breaks (LF, or CR LF) kept as LF, every other control
// character "?", so that no escape sequence from outside reaches the terminal.
std::string TerminalText(std::string_view text);

// A path's folder, up to and including its last "/" (empty when it has none), and its file name.
std::pair<std::string, std::string> SplitFolder(const std::string& path);

} // namespace quarrow
