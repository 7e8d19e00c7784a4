// Section-and-key files. Every line of the file is kept as it is, line end included, except the
// one line that a write replaces or adds.
#include "ProfileFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "store/TextFile.h"
#include "base/TextRules.h"

namespace quarrow {
namespace {

constexpr std::size_t MaxTextLength = MaxProfileText;
constexpr std::string_view LineEnd = "\r\n";

// A UTF-8 byte order mark, which an editor may put before the first section of a file.
constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

// The file's lines; a mark stays in the file but is no part of the first line's text.
std::vector<LineSpan> ScanProfileLines(std::string_view content) {
    const std::size_t skip = content.starts_with(ByteOrderMark) ? ByteOrderMark.size() : 0;
    std::vector<LineSpan> lines = ScanLines(content.substr(skip));
    for (LineSpan& line : lines) {
        line.Begin += skip;
        line.TextEnd += skip;
        line.End += skip;
    }
    return lines;
}

// The section name of a "[name]" line.
std::optional<std::string_view> SectionOf(std::string_view text) {
    text = TrimBlanks(text);
    if (text.empty() || text.front() != '[')
        return std::nullopt;
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos)
        return std::nullopt;
    return TrimBlanks(text.substr(1, close - 1));
}

// The key of a "key=value" line; the value is everything after the first "=".
bool SplitEntry(std::string_view text, std::string_view& key, std::string_view& value) {
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos)
        return false;
    key = TrimBlanks(text.substr(0, equals));
    value = TrimBlanks(text.substr(equals + 1));
    return true;
}

// Where a key lives in the file: its section (the first of that name) and its line.
struct Location {
    std::optional<std::size_t> Section; // index of the section's line
    std::optional<std::size_t> Entry;   // index of the key's line
    std::size_t LastFilled = 0;         // last non-blank line of the section
    std::string_view Value;
};

// Only the first section of the name counts, unless everySection: then the key is looked for in
// each section of the name in turn.
Location Find(std::string_view content, const std::vector<LineSpan>& lines,
              std::string_view section, std::string_view key, bool everySection = false) {
    Location found;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string_view text =
            content.substr(lines[i].Begin, lines[i].TextEnd - lines[i].Begin);
        const auto name = SectionOf(text);
        if (!found.Section) {
            if (name && EqualsNoCase(*name, section)) {
                found.Section = i;
                found.LastFilled = i;
            }
            continue;
        }
        if (name) {
            if (!everySection)
                break;
            if (!EqualsNoCase(*name, section))
                found.Section.reset(); // looking for the next one of the name
            continue;
        }
        if (TrimBlanks(text).empty())
            continue;
        found.LastFilled = i;
        std::string_view entryKey;
        std::string_view value;
        if (SplitEntry(text, entryKey, value) && EqualsNoCase(entryKey, key)) {
            found.Entry = i;
            found.Value = value;
            break;
        }
    }
    return found;
}

} // namespace

ProfileFile::ProfileFile(std::string path) : m_path(std::move(path)) {}

std::string ProfileFile::ReadString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue) const {
    return Read(section, key, defaultValue, false);
}

std::string ProfileFile::ReadStringInAnySection(const std::string& section, const std::string& key,
                                                const std::string& defaultValue) const {
    return Read(section, key, defaultValue, true);
}

std::string ProfileFile::Read(const std::string& section, const std::string& key,
                              const std::string& defaultValue, bool everySection) const {
    std::string content;
    std::string result = defaultValue;
    if (ReadWholeFile(m_path, content)) {
        const Location found = Find(content, ScanProfileLines(content), section, key, everySection);
        if (found.Entry)
            result = std::string(found.Value);
    }
    if (result.size() > MaxTextLength)
        result.resize(MaxTextLength);
    return result;
}

std::vector<std::string> ProfileFile::SectionNames() const {
    std::vector<std::string> names;
    std::string content;
    if (!ReadWholeFile(m_path, content))
        return names;
    for (const LineSpan& line : ScanProfileLines(content)) {
        const auto name =
            SectionOf(std::string_view(content).substr(line.Begin, line.TextEnd - line.Begin));
        if (name && std::none_of(names.begin(), names.end(), [&](const std::string& known) {
                return EqualsNoCase(known, *name);
            }))
            names.emplace_back(*name);
    }
    return names;
}

ProfileSnapshot::ProfileSnapshot(const std::string& path) {
    std::string content;
    if (!ReadWholeFile(path, content))
        return;
    const auto lower = [](std::string_view text) {
        std::string lowered(text);
        std::transform(lowered.begin(), lowered.end(), lowered.begin(), LowerAscii);
        return lowered;
    };
    // Lines before the first section, and those of a later section of a name already seen, are
    // never read: only the first section of a name counts.
    Section* current = nullptr;
    for (const LineSpan& line : ScanProfileLines(content)) {
        const std::string_view text =
            std::string_view(content).substr(line.Begin, line.TextEnd - line.Begin);
        if (const auto name = SectionOf(text)) {
            const auto [at, added] = m_index.try_emplace(lower(*name), m_sections.size());
            current = nullptr;
            if (added) {
                m_sections.push_back({std::string(*name), {}});
                current = &m_sections.back();
            }
            continue;
        }
        std::string_view key;
        std::string_view value;
        if (current && SplitEntry(text, key, value))
            current->Entries.emplace_back(lower(key), std::string(value));
    }
}

std::string ProfileSnapshot::ReadString(const std::string& section, const std::string& key,
                                        const std::string& defaultValue) const {
    std::string result = ReadWholeString(section, key, defaultValue);
    if (result.size() > MaxTextLength)
        result.resize(MaxTextLength);
    return result;
}

std::string ProfileSnapshot::ReadWholeString(const std::string& section, const std::string& key,
                                             const std::string& defaultValue) const {
    std::string result = defaultValue;
    std::string wanted = section;
    std::transform(wanted.begin(), wanted.end(), wanted.begin(), LowerAscii);
    if (const auto found = m_index.find(wanted); found != m_index.end()) {
        for (const auto& [entryKey, value] : m_sections[found->second].Entries)
            if (EqualsNoCase(entryKey, key)) {
                result = value;
                break;
            }
    }
    return result;
}

int ProfileSnapshot::ReadInteger(const std::string& section, const std::string& key,
                                 int defaultValue) const {
    return ParseInteger(ReadString(section, key, std::string())).value_or(defaultValue);
}

std::vector<std::string> ProfileSnapshot::SectionNames() const {
    std::vector<std::string> names;
    names.reserve(m_sections.size());
    for (const Section& section : m_sections)
        names.push_back(section.Name);
    return names;
}

int ProfileFile::ReadInteger(const std::string& section, const std::string& key,
                             int defaultValue) const {
    return ParseInteger(ReadString(section, key, std::string())).value_or(defaultValue);
}

// The content with one value written: its line replaced, or a line (and the section) added.
std::string ProfileFile::WithValue(const std::string& content, const std::string& section,
                                   const std::string& key, const std::string& value) {
    const std::vector<LineSpan> lines = ScanProfileLines(content);
    const Location found = Find(content, lines, section, key);
    const std::string entry = key + "=" + value;

    std::string updated;
    updated.reserve(content.size() + entry.size() + section.size() + 8);
    if (found.Entry) {
        const LineSpan& line = lines[*found.Entry];
        updated.append(content, 0, line.Begin);
        updated += entry;
        if (line.End > line.TextEnd)
            updated.append(content, line.TextEnd, line.End - line.TextEnd);
        else
            updated += LineEnd;
        updated.append(content, line.End);
    } else if (found.Section) {
        const LineSpan& last = lines[found.LastFilled];
        updated.append(content, 0, last.End);
        if (last.End == last.TextEnd)
            updated += LineEnd; // the file ended without a line end
        updated += entry;
        updated += LineEnd;
        updated.append(content, last.End);
    } else {
        updated = content;
        if (!updated.empty() && updated.back() != '\n' && updated.back() != '\r')
            updated += LineEnd;
        updated += "[" + section + "]";
        updated += LineEnd;
        updated += entry;
        updated += LineEnd;
    }
    return updated;
}

std::string ProfileFile::ContentToWrite() const {
    std::string content;
    if (!ReadWholeFile(m_path, content)) {
        // Only a file that is not there may be started afresh; one that cannot be read would
        // lose its other lines.
        std::error_code ec;
        if (std::filesystem::exists(m_path, ec) || ec)
            throw WriteError(m_path);
        content.clear();
    }
    return content;
}

void ProfileFile::WriteString(const std::string& section, const std::string& key,
                              const std::string& value) {
    ReplaceFile(m_path, WithValue(ContentToWrite(), section, key, value));
}

void ProfileFile::WriteIntegers(const std::string& section,
                                const std::vector<std::pair<std::string, int>>& values) {
    std::string content = ContentToWrite();
    for (const auto& [key, value] : values)
        content = WithValue(content, section, key, std::to_string(value));
    ReplaceFile(m_path, content);
}

void ProfileFile::WriteInteger(const std::string& section, const std::string& key, int value) {
    WriteString(section, key, std::to_string(value));
}

} // namespace quarrow
