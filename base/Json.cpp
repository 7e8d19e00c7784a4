// Recursive descent with a bound on nesting, so a hostile file cannot exhaust the stack.
#include "Json.h"

#include <charconv>
#include <cstdint>
#include <cstdio>

#include "TextRules.h"

namespace quarrow {

namespace {

constexpr int MaxDepth = 256;

class Parser {
public:
    explicit Parser(std::string_view text) : m_text(text) {}

    JsonParse Parse() {
        JsonParse parsed;
        try {
            JsonValue value = ReadValue(0);
            SkipBlanks();
            if (m_at != m_text.size())
                Fail("text after the value");
            parsed.Value = std::move(value);
        } catch (const std::string& error) {
            parsed.Error = error;
        }
        return parsed;
    }

private:
    [[noreturn]] void Fail(const std::string& what) const {
        throw what + " at character " + std::to_string(m_at + 1);
    }

    void SkipBlanks() {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\n' || m_text[m_at] == '\r'))
            ++m_at;
    }

    bool Take(char c) {
        SkipBlanks();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }

    bool TakeWord(std::string_view word) {
        if (m_text.substr(m_at, word.size()) != word)
            return false;
        m_at += word.size();
        return true;
    }

    JsonValue ReadValue(int depth) {
        if (depth > MaxDepth)
            Fail("nesting too deep");
        SkipBlanks();
        if (m_at >= m_text.size())
            Fail("a value expected");
        const char c = m_text[m_at];
        if (c == '{')
            return ReadObject(depth);
        if (c == '[')
            return ReadArray(depth);
        if (c == '"')
            return {ReadString()};
        if (TakeWord("true"))
            return {true};
        if (TakeWord("false"))
            return {false};
        if (TakeWord("null"))
            return {nullptr};
        return {ReadNumber()};
    }

    JsonValue ReadObject(int depth) {
        ++m_at;
        JsonObject object;
        if (Take('}'))
            return {std::move(object)};
        do {
            SkipBlanks();
            if (m_at >= m_text.size() || m_text[m_at] != '"')
                Fail("a member name expected");
            std::string name = ReadString();
            if (!Take(':'))
                Fail("\":\" expected");
            object.insert_or_assign(std::move(name), ReadValue(depth + 1));
        } while (Take(','));
        if (!Take('}'))
            Fail("\",\" or \"}\" expected");
        return {std::move(object)};
    }

    JsonValue ReadArray(int depth) {
        ++m_at;
        JsonArray array;
        if (Take(']'))
            return {std::move(array)};
        do
            array.push_back(ReadValue(depth + 1));
        while (Take(','));
        if (!Take(']'))
            Fail("\",\" or \"]\" expected");
        return {std::move(array)};
    }

    double ReadNumber() {
        const char* begin = m_text.data() + m_at;
        double value = 0;
        const auto [end, error] = std::from_chars(begin, m_text.data() + m_text.size(), value);
        if (error != std::errc() || end == begin)
            Fail("a value expected");
        m_at += static_cast<std::size_t>(end - begin);
        return value;
    }

    unsigned ReadHex4() {
        if (m_at + 4 > m_text.size())
            Fail("four hexadecimal digits expected");
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(m_text.data() + m_at, m_text.data() + m_at + 4, value, 16);
        if (error != std::errc() || end != m_text.data() + m_at + 4)
            Fail("four hexadecimal digits expected");
        m_at += 4;
        return value;
    }

    static void AppendUtf8(std::string& out, std::uint32_t code) {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    std::string ReadString() {
        ++m_at; // the opening quote
        std::string text;
        for (;;) {
            if (m_at >= m_text.size())
                Fail("an unterminated string");
            const char c = m_text[m_at++];
            if (c == '"')
                return text;
            if (c != '\\') {
                text += c;
                continue;
            }
            if (m_at >= m_text.size())
                Fail("an unterminated string");
            const char escaped = m_text[m_at++];
            switch (escaped) {
            case '"':
            case '\\':
            case '/':
                text += escaped;
                break;
            case 'b':
                text += '\b';
                break;
            case 'f':
                text += '\f';
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            case 't':
                text += '\t';
                break;
            case 'u': {
                std::uint32_t code = ReadHex4();
                // A surrogate pair stands for one character beyond the first plane.
                if (code >= 0xD800 && code < 0xDC00 && TakeWord("\\u")) {
                    const std::uint32_t low = ReadHex4();
                    if (low >= 0xDC00 && low < 0xE000)
                        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                }
                AppendUtf8(text, code);
                break;
            }
            default:
                Fail("an unknown escape");
            }
        }
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

const JsonValue* JsonValue::Find(std::string_view name) const {
    const auto* object = std::get_if<JsonObject>(&Value);
    if (!object)
        return nullptr;
    const auto found = object->find(name);
    return found == object->end() ? nullptr : &found->second;
}

const JsonArray& JsonValue::Array() const {
    static const JsonArray Empty;
    const auto* array = std::get_if<JsonArray>(&Value);
    return array ? *array : Empty;
}

const std::string& JsonValue::String() const {
    static const std::string Empty;
    const auto* text = std::get_if<std::string>(&Value);
    return text ? *text : Empty;
}

JsonParse ParseJson(std::string_view text) {
    // A UTF-8 byte order mark is no part of the value.
    if (text.starts_with("\xEF\xBB\xBF"))
        text.remove_prefix(3);
    return Parser(text).Parse();
}

std::string JsonString(std::string_view text) {
    std::string quoted = "\"";
    for (const char c : ValidUtf8(text)) {
        switch (c) {
        case '"':
            quoted += "\\\"";
            break;
        case '\\':
            quoted += "\\\\";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char code[8];
                std::snprintf(code, sizeof code, "\\u%04x", static_cast<unsigned>(c));
                quoted += code;
            } else {
                quoted += c;
            }
        }
    }
    return quoted + "\"";
}

} // namespace quarrow
