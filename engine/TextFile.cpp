// Text files as lines, 8-bit, CR LF on every platform.
#include "TextFile.h"

#include <cstdio>
#include <memory>

#include "Exception.h"
#include "FileReplacer.h"

namespace quarrow {

bool ReadWholeFile(const std::string& path, std::string& text) {
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                               &std::fclose);
    if (!file)
        return false;
    text.clear();
    char buffer[64 * 1024];
    std::size_t count = 0;
    while ((count = std::fread(buffer, 1, sizeof buffer, file.get())) > 0)
        text.append(buffer, count);
    return std::ferror(file.get()) == 0;
}

std::vector<LineSpan> ScanLines(std::string_view text) {
    std::vector<LineSpan> lines;
    std::size_t begin = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n')
            continue;
        const std::size_t textEnd = i;
        if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        lines.push_back({begin, textEnd, i + 1});
        begin = i + 1;
    }
    if (begin < text.size())
        lines.push_back({begin, text.size(), text.size()});
    return lines;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    for (const LineSpan& span : ScanLines(text))
        lines.emplace_back(text.substr(span.Begin, span.TextEnd - span.Begin));
    return lines;
}

std::vector<std::string> LoadLines(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text))
        throw ReadError(path);
    return SplitLines(text);
}

void SaveLines(const std::string& path, const std::vector<std::string>& lines) {
    FileReplacer file(path);
    for (const std::string& line : lines) {
        file.Write(line);
        file.Write("\r\n");
    }
    file.Commit();
}

} // namespace quarrow
