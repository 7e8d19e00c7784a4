// Both files are profile files; a source's rules have the same keys in both.
#include "SourcesFile.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "Locations.h"
#include "base/NumberText.h"
#include "ProfileFile.h"
#include "store/TextFile.h"
#include "base/TextRules.h"

namespace quarrow {

namespace {

constexpr std::array<const char*, 3> TemplateKeys = {"MapView", "Satellite", "Terrain"};
constexpr const char* ProjectSection = "Source";

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> parts;
    std::string_view rest = text;
    while (!rest.empty()) {
        const std::size_t comma = rest.find(',');
        const std::string_view part = TrimBlanks(rest.substr(0, comma));
        if (!part.empty())
            parts.emplace_back(part);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
    return parts;
}

std::string JoinList(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts)
        joined += (joined.empty() ? "" : ",") + part;
    return joined;
}

// The keys that a source's rules have in either file, in the order they are written.
std::vector<std::pair<std::string, std::string>> RuleKeys(const TileSource& source) {
    std::vector<std::pair<std::string, std::string>> keys;
    if (!source.Subdomains.empty())
        keys.emplace_back("Subdomains", JoinList(source.Subdomains));
    keys.emplace_back("Format", source.Format);
    // Written only for other tiles than the usual, so that files of 256-pixel sources stay as
    // they were.
    if (source.TileSize != 256)
        keys.emplace_back("TileSize", std::to_string(source.TileSize));
    keys.emplace_back("MinZoom", std::to_string(source.MinZoom));
    keys.emplace_back("MaxZoom", std::to_string(source.MaxZoom));
    if (source.Bounds)
        keys.emplace_back("Bounds", BoundsText(*source.Bounds));
    keys.emplace_back("Workers", std::to_string(source.Workers));
    keys.emplace_back("TileDelay", std::to_string(source.TileDelayMs));
    if (source.MinAgeDays != 0)
        keys.emplace_back("MinAge", std::to_string(source.MinAgeDays));
    if (!source.UserAgent.empty())
        keys.emplace_back("UserAgent", source.UserAgent);
    if (!source.Referer.empty())
        keys.emplace_back("Referer", source.Referer);
    for (std::size_t i = 0; i < source.Headers.size(); ++i)
        keys.emplace_back("Header" + std::to_string(i + 1),
                          source.Headers[i].first + ": " + source.Headers[i].second);
    if (!source.Attribution.empty())
        keys.emplace_back("Attribution", source.Attribution);
    return keys;
}

// The rules of a section; what is absent keeps the source's defaults. A value that does not read
// is a fault, named.
std::optional<std::string> ReadRules(const ProfileSnapshot& file, const std::string& section,
                                     TileSource& source) {
    // Whole: a value the file's reader would cut must be refused, not taken cut.
    const auto text = [&](const char* key) { return file.ReadWholeString(section, key, ""); };
    source.Subdomains = SplitList(text("Subdomains"));
    if (const std::string format = text("Format"); !format.empty())
        source.Format = std::string(TrimBlanks(format));
    for (auto [key, field] : {std::pair{"MinZoom", &source.MinZoom},
                              {"MaxZoom", &source.MaxZoom},
                              {"Workers", &source.Workers},
                              {"TileDelay", &source.TileDelayMs},
                              {"MinAge", &source.MinAgeDays},
                              {"TileSize", &source.TileSize}}) {
        if (const std::string value = text(key); !value.empty()) {
            const std::optional<int> number = ParseInteger(value);
            if (!number)
                return std::string(key) + " is not a number: " + value;
            *field = *number;
        }
    }
    if (const std::string bounds = text("Bounds"); !bounds.empty()) {
        source.Bounds = ParseBounds(bounds);
        if (!source.Bounds)
            return "Bounds is not west,south,east,north: " + bounds;
    }
    source.UserAgent = text("UserAgent");
    source.Referer = text("Referer");
    for (int n = 1;; ++n) {
        const std::string header = text(("Header" + std::to_string(n)).c_str());
        if (header.empty())
            break;
        const std::size_t colon = header.find(':');
        if (colon == std::string::npos)
            return "Header" + std::to_string(n) + " is not \"Name: value\": " + header;
        source.Headers.emplace_back(std::string(TrimBlanks(header.substr(0, colon))),
                                    std::string(TrimBlanks(header.substr(colon + 1))));
    }
    source.Attribution = text("Attribution");
    return std::nullopt;
}

// The rules of a section read and the whole source checked: the one way every source that comes
// from a file is taken.
std::optional<std::string> ReadSourceRules(const ProfileSnapshot& file, const std::string& section,
                                           TileSource& source) {
    if (auto fault = ReadRules(file, section, source))
        return fault;
    return CheckSource(source);
}

} // namespace

std::optional<GeoBounds> ParseBounds(const std::string& text) {
    const std::vector<std::string> parts = SplitList(text);
    if (parts.size() != 4)
        return std::nullopt;
    std::array<double, 4> values{};
    for (std::size_t i = 0; i < 4; ++i) {
        const std::optional<double> value = ParseCoordinate(parts[i]);
        if (!value)
            return std::nullopt;
        values[i] = *value;
    }
    return GeoBounds{values[0], values[1], values[2], values[3]};
}

std::string BoundsText(const GeoBounds& bounds) {
    // The shortest text that reads back as the same number, so a source survives its file.
    std::string text;
    for (const double edge : {bounds.West, bounds.South, bounds.East, bounds.North}) {
        char number[32];
        const auto written = std::to_chars(number, number + sizeof number, edge);
        text.append(text.empty() ? "" : ",").append(number, written.ptr);
    }
    return text;
}

std::string SourcesFilePath(const std::string& executableFolder) {
    return SettingsFolder(executableFolder) + "sources.ini";
}

std::vector<TileSource> ReadSources(const std::string& path, std::vector<std::string>* faults) {
    std::vector<TileSource> sources;
    const ProfileSnapshot file(path);
    for (const std::string& section : file.SectionNames()) {
        TileSource source;
        source.Name = section;
        for (std::size_t i = 0; i < TemplateKeys.size(); ++i)
            source.Templates[i] =
                std::string(TrimBlanks(file.ReadWholeString(section, TemplateKeys[i], "")));
        if (const std::optional<std::string> fault = ReadSourceRules(file, section, source)) {
            if (faults)
                faults->push_back("[" + section + "]: " + *fault);
            continue;
        }
        sources.push_back(std::move(source));
    }
    return sources;
}

std::string UniqueSourceName(const std::vector<TileSource>& sources, const std::string& name) {
    std::string unique = name;
    for (int n = 2; std::any_of(sources.begin(), sources.end(),
                                [&](const TileSource& known) {
                                    return EqualsNoCase(known.Name, unique);
                                });
         ++n)
        unique = name + " (" + std::to_string(n) + ")";
    return unique;
}

void WriteSources(const std::string& path, const std::vector<TileSource>& sources) {
    std::vector<std::string> lines;
    for (const TileSource& source : sources) {
        lines.push_back("[" + source.Name + "]");
        for (std::size_t i = 0; i < TemplateKeys.size(); ++i)
            if (!source.Templates[i].empty())
                lines.push_back(std::string(TemplateKeys[i]) + "=" + source.Templates[i]);
        for (const auto& [key, value] : RuleKeys(source))
            lines.push_back(key + "=" + value);
        lines.emplace_back();
    }
    SaveLines(path, lines);
}

std::vector<std::string> ProjectSourceLines(const std::optional<TileSource>& source, int mapsType) {
    if (!source)
        return {};
    const std::size_t index = static_cast<std::size_t>(std::clamp(mapsType - 17, 0, 2));
    std::vector<std::string> lines{"[" + std::string(ProjectSection) + "]", "Name=" + source->Name,
                                   "Template=" + source->Templates[index]};
    for (const auto& [key, value] : RuleKeys(*source))
        lines.push_back(key + "=" + value);
    lines.emplace_back();
    return lines;
}

std::optional<TileSource> ReadProjectSource(const std::string& projectFile, int mapsType) {
    const ProfileSnapshot file(projectFile);
    const std::string name = file.ReadWholeString(ProjectSection, "Name", "");
    const std::string urlTemplate = file.ReadWholeString(ProjectSection, "Template", "");
    if (name.empty() && urlTemplate.empty())
        return std::nullopt;
    TileSource source;
    source.Name = name;
    source.Templates[static_cast<std::size_t>(std::clamp(mapsType - 17, 0, 2))] = urlTemplate;
    if (const auto fault = ReadSourceRules(file, ProjectSection, source))
        throw SourceFault("The source of the task " + projectFile + " cannot be used: " + *fault);
    return source;
}

} // namespace quarrow
