#include "TextRules.h"

#include <charconv>
#include <cstdint>

namespace quarrow {

namespace {

// The length of the well-formed UTF-8 sequence at text[i], 0 when there is none.
std::size_t Utf8Length(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    std::uint32_t point = 0;
    if (lead < 0x80)
        return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        point = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        point = lead & 0x07u;
    } else {
        return 0;
    }
    if (i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(i + k) & 0xC0u) != 0x80u)
            return 0;
        point = (point << 6) | (byte(i + k) & 0x3Fu);
    }
    if ((length == 3 && (point < 0x800 || (point >= 0xD800 && point <= 0xDFFF))) ||
        (length == 4 && (point < 0x10000 || point > 0x10FFFF)))
        return 0;
    return length;
}

} // namespace

bool IsUtf8(std::string_view text) {
    for (std::size_t i = 0, length = 0; i < text.size(); i += length)
        if ((length = Utf8Length(text, i)) == 0)
            return false;
    return true;
}

std::string ValidUtf8(std::string_view text) {
    std::string valid;
    valid.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        if (const std::size_t length = Utf8Length(text, i)) {
            valid.append(text.substr(i, length));
            i += length;
        } else {
            valid.append("\xEF\xBF\xBD"); // U+FFFD for each byte that is no character's
            ++i;
        }
    }
    return valid;
}

bool EqualsNoCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && StartsWithNoCase(a, b);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (LowerAscii(text[i]) != LowerAscii(prefix[i]))
            return false;
    return true;
}

std::string_view TrimBlanks(std::string_view text) noexcept {
    while (!text.empty() && IsBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

void ReplaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

std::optional<int> ParseInteger(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    unsigned base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    const std::uint64_t limit = base == 16 ? 0xFFFFFFFFu : (negative ? 2147483648u : 2147483647u);
    if (i == text.size())
        return std::nullopt;
    std::uint64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const char c = LowerAscii(text[i]);
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else
            return std::nullopt;
        magnitude = magnitude * base + digit;
        if (magnitude > limit)
            return std::nullopt;
    }
    const auto bits = static_cast<std::uint32_t>(negative ? 0u - magnitude : magnitude);
    return static_cast<int>(bits); // two's complement, defined since C++20
}

std::optional<int> ParseDecimal(std::string_view text) noexcept {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-')
            return std::nullopt;
    }
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc{} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

bool HasControl(std::string_view text) noexcept {
    for (const char c : text)
        if (IsControl(c))
            return true;
    return false;
}

std::string PrintableText(std::string_view text) {
    std::string printable(text);
    for (char& c : printable)
        if (IsControl(c))
            c = '?';
    return printable;
}

std::string TerminalText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        shown += c == '\n' || !IsControl(c) ? c : '?';
    }
    return shown;
}

std::pair<std::string, std::string> SplitFolder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {std::string(), path};
    return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

} // namespace quarrow
