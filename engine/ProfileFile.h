// Section-and-key text files (the settings file and project files): read and write one key at a
// time.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace quarrow {

// The longest text value that a profile file gives back; what is longer is cut when read.
inline constexpr std::size_t MaxProfileText = 2047;

// Every call reads or rewrites the file afresh, so several readers and one writer see each
// other's changes. Reading never reports a problem: it yields the caller's default.
class ProfileFile {
public:
    explicit ProfileFile(std::string path);

    const std::string& Path() const noexcept { return m_path; }

    // The value after the first "=", blanks trimmed, at most 2047 characters.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // As ReadString, but the key is looked for in every section of the name, not in the first
    // only: a task's "[Area]" of a shape follows its "[AREA]", one name apart from letter case.
    std::string ReadStringInAnySection(const std::string& section, const std::string& key,
                                       const std::string& defaultValue) const;
    // Decimal, "$" or "0x" hexadecimal, optional blanks and sign; anything else is the default.
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    // The names of the file's sections in file order, each once; none for a missing file.
    std::vector<std::string> SectionNames() const;

    // Creates the file and the section when missing, never the folder; throws an Exception
    // "Unable to write to " + path when the file cannot be written.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    // Several values of one section in one rewrite of the file: the same bytes as writing them
    // one by one in this order, and a reader never sees some of them without the others.
    void WriteIntegers(const std::string& section,
                       const std::vector<std::pair<std::string, int>>& values);

private:
    std::string Read(const std::string& section, const std::string& key,
                     const std::string& defaultValue, bool everySection) const;
    std::string ContentToWrite() const;
    static std::string WithValue(const std::string& content, const std::string& section,
                                 const std::string& key, const std::string& value);

    std::string m_path;
};

// A profile file read once, for a reader of many keys (the sources file with thousands of
// sections): the answers that ProfileFile's reads give of the file as it was then, each found
// without reading or scanning the file again.
class ProfileSnapshot {
public:
    explicit ProfileSnapshot(const std::string& path);

    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // The value as the file holds it, however long: for checks that must see what was cut.
    std::string ReadWholeString(const std::string& section, const std::string& key,
                                const std::string& defaultValue) const;
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    std::vector<std::string> SectionNames() const;

private:
    struct Section {
        std::string Name;
        std::vector<std::pair<std::string, std::string>> Entries; // keys in lower case
    };
    std::vector<Section> m_sections; // the first section of each name, in file order
    std::unordered_map<std::string, std::size_t> m_index; // lower-case name -> m_sections
};

} // namespace quarrow

using quarrow::ProfileFile;
