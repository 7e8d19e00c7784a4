#include "LineStore.h"

#include "base/Exception.h"
#include "FileReplacer.h"
#include "TextFile.h"

namespace quarrow {

namespace {
constexpr std::string_view LineEnd = "\r\n";
}

void LineStore::Add(std::string_view line) {
    m_starts.push_back(m_bytes.size());
    m_bytes.append(line).append(LineEnd);
}

std::size_t LineStore::Append(std::string_view line) {
    const std::vector<LineSpan> spans = ScanLines(line);
    const bool endsInLineEnd = spans.empty() || spans.back().End != spans.back().TextEnd;
    for (const LineSpan& span : spans)
        Add(line.substr(span.Begin, span.TextEnd - span.Begin));
    if (endsInLineEnd)
        Add({});
    return spans.size() + (endsInLineEnd ? 1 : 0);
}

void LineStore::SetLines(const std::vector<std::string>& lines) {
    std::size_t size = 0;
    for (const std::string& line : lines)
        size += line.size() + LineEnd.size();
    Clear();
    m_bytes.reserve(size);
    m_starts.reserve(lines.size());
    for (const std::string& line : lines)
        Add(line);
}

void LineStore::Clear() {
    m_bytes.clear();
    m_starts.clear();
}

std::string_view LineStore::Line(std::size_t index) const {
    const std::size_t end = index + 1 < m_starts.size() ? m_starts[index + 1] : m_bytes.size();
    return std::string_view(m_bytes).substr(m_starts[index],
                                            end - LineEnd.size() - m_starts[index]);
}

std::vector<std::string> LineStore::Lines() const {
    std::vector<std::string> lines;
    lines.reserve(m_starts.size());
    for (std::size_t i = 0; i < m_starts.size(); ++i)
        lines.emplace_back(Line(i));
    return lines;
}

void LineStore::Load(const std::string& path) {
    std::string text;
    if (!ReadWholeFile(path, text))
        throw ReadError(path);
    const std::vector<LineSpan> spans = ScanLines(text);
    m_starts.clear();
    m_starts.reserve(spans.size());
    bool crLfOnly = true;
    for (const LineSpan& span : spans) {
        m_starts.push_back(span.Begin);
        crLfOnly = crLfOnly && span.End - span.TextEnd == LineEnd.size();
    }
    if (crLfOnly) {
        // A file that a store saved is its store already.
        m_bytes = std::move(text);
        return;
    }
    m_bytes.clear();
    m_bytes.reserve(text.size() + spans.size());
    m_starts.clear();
    for (const LineSpan& span : spans)
        Add(std::string_view(text).substr(span.Begin, span.TextEnd - span.Begin));
}

void LineStore::Save(const std::string& path) const {
    ReplaceFile(path, m_bytes);
}

} // namespace quarrow
