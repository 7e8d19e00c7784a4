// A fresh folder under the system's temporary folder, removed with everything in it at the end.
#pragma once

#include <string>
#include <vector>

namespace quarrow::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The folder, ending in "/".
    const std::string& Path() const noexcept { return m_path; }

private:
    std::string m_path;
};

// The whole content of a file as bytes; "" when it cannot be read.
std::string ReadFileBytes(const std::string& path);
// The names in a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& folder);
// Creates or replaces a file with exactly these bytes.
void WriteFileBytes(const std::string& path, const std::string& bytes);

// A PNG as the download's checks read it: the signature, an IHDR of side x side pixels, the text
// in a chunk of its own and IEND. Its pixels do not decode.
std::string TilePng(const std::string& text, int side = 256);

} // namespace quarrow::test
