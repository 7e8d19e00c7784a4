// The profile file's reader and writer: any file, then one key written and read back, with the
// file's other keys left as they were.
#include "FuzzSupport.h"
#include "base/Exception.h"
#include "engine/ProfileFile.h"
#include "base/TextRules.h"

namespace {

using namespace quarrow;

bool HasLineEnd(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

// A section name that a "[name]" line gives back as written.
bool IsPlainSection(std::string_view name) {
    return !HasLineEnd(name) && name.find(']') == std::string_view::npos &&
           TrimBlanks(name) == name;
}

// A key that a "key=value" line gives back as written, and that no reader takes for a section.
bool IsPlainKey(std::string_view key) {
    return !HasLineEnd(key) && key.find('=') == std::string_view::npos && TrimBlanks(key) == key &&
           !key.starts_with('[');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // section, key, value, a second section and key, then the file's bytes
    const auto fields = fuzz::SplitFields(data, size, 6);
    const std::string section(fields[0]), key(fields[1]), value(fields[2]);
    const std::string otherSection(fields[3]), otherKey(fields[4]);
    const std::string path = fuzz::ScratchFolder() + "profile.ini";
    fuzz::WriteBytes(path, fields[5]);

    ProfileFile file(path);
    const std::string read = file.ReadString(section, key, "\x01");
    fuzz::Check(read.size() <= 2047, "a value is at most 2047 characters");
    fuzz::Check(read == "\x01" || TrimBlanks(read) == read, "a value has no blanks around it");
    const auto integer = ParseInteger(read);
    fuzz::Check(file.ReadInteger(section, key, 7) == integer.value_or(7) &&
                    file.ReadInteger(section, key, -7) == integer.value_or(-7),
                "an integer reads as its text does");

    if (!IsPlainSection(section) || !IsPlainKey(key) || HasLineEnd(value))
        return 0;
    const std::string otherBefore = file.ReadString(otherSection, otherKey, "\x01");
    try {
        file.WriteString(section, key, value);
    } catch (const Exception&) {
        fuzz::Broken("a write to a writable file fails");
    }
    std::string expected(TrimBlanks(value));
    if (expected.size() > 2047)
        expected.resize(2047);
    fuzz::Check(file.ReadString(section, key, "\x01") == expected, "a written value reads back");
    const bool sameKey = EqualsNoCase(section, otherSection) && EqualsNoCase(key, otherKey);
    fuzz::Check(sameKey || file.ReadString(otherSection, otherKey, "\x01") == otherBefore,
                "a write leaves every other key as it was");

    const int number = static_cast<int>(size * 2654435761U);
    file.WriteInteger(section, key, number);
    fuzz::Check(file.ReadInteger(section, key, number + 1) == number,
                "a written integer reads back");
    return 0;
}
