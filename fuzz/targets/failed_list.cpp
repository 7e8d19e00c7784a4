// The failed-tile list: any file read as lines and each line split into path and URL; the lines
// written again read back the same.
#include "FuzzSupport.h"
#include "download/FailedTileList.h"
#include "base/Exception.h"
#include "store/TextFile.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::string path = fuzz::ScratchFolder() + "failed.txt";
    fuzz::WriteBytes(path, bytes);

    std::vector<std::string> lines;
    try {
        lines = ReadFailedList(path);
    } catch (const Exception&) {
        fuzz::Broken("a readable list fails to read");
    }
    fuzz::Check(lines == SplitLines(bytes), "the file reads as its bytes split into lines");
    for (const std::string& line : lines) {
        fuzz::Check(line.find_first_of("\r\n") == std::string::npos, "a line holds no line end");
        const FailureEntry entry = SplitFailureEntry(line);
        fuzz::Check(entry.Path.find('|') == std::string::npos, "the path holds no bar");
        if (line.find('|') == std::string::npos)
            fuzz::Check(entry.Path.empty() && entry.Url == line, "a line without a bar is a URL");
        else
            fuzz::Check(FailureEntryLine(entry.Path, entry.Url) == line,
                        "path and URL give the line back");
    }

    try {
        WriteFailedList(path, lines);
        fuzz::Check(ReadFailedList(path) == lines, "a written list reads back");
    } catch (const Exception&) {
        fuzz::Broken("a list cannot be written to a writable folder");
    }
    return 0;
}
