// Templates are checked once, when a source is saved or imported, so expanding them at download
// time cannot fail.
#include "TileSource.h"

#include <algorithm>
#include <charconv>

#include "TileFormat.h"
#include "ProfileFile.h"
#include "base/TextRules.h"
#include "Version.h"

namespace quarrow {

namespace {

const char* const HomePage = "http://www.quarrow.example/";

const std::array<const char*, 3> MapTypeNames = {"Map view", "Satellite", "Terrain"};

enum class Part { Zoom, X, Y, FlippedY, Quadkey, Subdomain, Nothing };

struct Placeholder {
    std::string_view Name;
    Part Stands;
};

// Every dialect that users paste: the common braces, and the "{$...}" forms.
constexpr Placeholder Placeholders[] = {
    {"z", Part::Zoom},     {"zoom", Part::Zoom},   {"$z", Part::Zoom},
    {"x", Part::X},        {"$x", Part::X},        {"y", Part::Y},
    {"$y", Part::Y},       {"-y", Part::FlippedY}, {"q", Part::Quadkey},
    {"$q", Part::Quadkey}, {"s", Part::Subdomain}, {"$serverpart", Part::Subdomain},
    {"r", Part::Nothing},
};

std::optional<Part> PartOf(std::string_view name) {
    for (const Placeholder& placeholder : Placeholders)
        if (placeholder.Name == name)
            return placeholder.Stands;
    return std::nullopt;
}

// Calls each(text between braces) for every placeholder and literal(text) for the rest; false
// for a brace without its partner.
template <typename Literal, typename Each>
bool Scan(std::string_view text, Literal literal, Each each) {
    while (!text.empty()) {
        const std::size_t open = text.find_first_of("{}");
        if (open == std::string_view::npos) {
            literal(text);
            return true;
        }
        if (text[open] == '}')
            return false;
        const std::size_t close = text.find('}', open);
        if (close == std::string_view::npos || text.find('{', open + 1) < close)
            return false;
        literal(text.substr(0, open));
        each(text.substr(open + 1, close - open - 1));
        text.remove_prefix(close + 1);
    }
    return true;
}

// Header names that belong to the client's own framing, its connection or its proxy: a source
// that set them could split a request or speak for the user to the proxy.
constexpr std::string_view ReservedHeaders[] = {"Host", "Content-Length", "Transfer-Encoding",
                                                "Connection", "Proxy-Authorization"};

// A header value may hold tabs, as HTTP allows, and no other control character.
bool IsHeaderValue(std::string_view value) {
    return std::none_of(value.begin(), value.end(), [](char c) { return c != '\t' && IsControl(c); });
}

// Why a field of a source cannot be kept in a profile file, naming the field, or nullopt: a
// control character would end its line (and could start a key or a section of its own), and a
// text beyond the file's limit would come back cut.
std::optional<std::string> CheckField(std::string_view field, std::string_view text) {
    if (HasControl(text))
        return "The " + std::string(field) + " holds a line break or another control character.";
    if (text.size() > MaxProfileText)
        return "The " + std::string(field) + " is longer than " +
               std::to_string(MaxProfileText) + " characters.";
    return std::nullopt;
}

// An HTTP header name: letters, digits and the token characters.
bool IsHeaderName(std::string_view name) {
    return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
    });
}

// The host that a template names, lower case, with its port and placeholders left out.
std::string TemplateHost(std::string_view urlTemplate) {
    const std::size_t scheme = urlTemplate.find("://");
    std::string_view authority =
        scheme == std::string_view::npos ? urlTemplate : urlTemplate.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    std::string host;
    Scan(
        authority, [&](std::string_view part) { host.append(part); }, [](std::string_view) {});
    host = host.substr(0, host.rfind(':') == std::string::npos ? host.size() : host.rfind(':'));
    std::transform(host.begin(), host.end(), host.begin(), LowerAscii);
    // "tile.example.org." is the same host as "tile.example.org".
    while (host.ends_with('.'))
        host.pop_back();
    return host;
}

void AppendInt(std::string& out, long long value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

} // namespace

std::string MapTypeName(int mapsType) {
    return mapsType >= 17 && mapsType <= 19 ? MapTypeNames[static_cast<std::size_t>(mapsType - 17)]
                                            : "map type " + std::to_string(mapsType);
}

std::string DefaultUserAgent() {
    return "Quarrow/" + std::string(QuarrowVersion) + " (+" + HomePage + ")";
}

std::string UserAgentOf(const TileSource& source) {
    return source.UserAgent.empty() ? DefaultUserAgent() : source.UserAgent;
}

std::optional<std::string> CheckTemplate(std::string_view urlTemplate, bool hasSubdomains) {
    const std::string_view trimmed = TrimBlanks(urlTemplate);
    const std::size_t scheme = trimmed.find("://");
    const std::string_view schemeText =
        scheme == std::string_view::npos ? std::string_view() : trimmed.substr(0, scheme);
    if (!EqualsNoCase(schemeText, "http") && !EqualsNoCase(schemeText, "https"))
        return schemeText.empty() ? std::string("The URL template must begin with http:// or "
                                                "https://.")
                                  : "The URL template must begin with http:// or https://, not " +
                                        std::string(schemeText) + "://.";
    if (HasControl(trimmed) || trimmed.find(' ') != std::string_view::npos)
        return std::string("The URL template holds a blank, a line break or another control "
                           "character.");
    if (trimmed.size() > MaxProfileText)
        return "The URL template is longer than " + std::to_string(MaxProfileText) +
               " characters.";
    const std::string_view authority = trimmed.substr(scheme + 3).substr(
        0, trimmed.substr(scheme + 3).find_first_of("/?#"));
    if (authority.find('@') != std::string_view::npos)
        return std::string("The URL template names a user name or password (user:pass@host): "
                           "Quarrow sends no credentials in URLs. Give them as a header.");
    if (authority.starts_with('['))
        return std::string("IPv6 addresses are not supported: give the service's host name.");
    if (const std::size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        const std::optional<int> port = ParseDecimal(authority.substr(colon + 1));
        if (!port || *port < 1 || *port > 65535)
            return "The URL template's port \"" + std::string(authority.substr(colon + 1)) +
                   "\" is not a port (1 to 65535).";
    }
    bool zoom = false, x = false, y = false, quadkey = false, subdomain = false;
    std::string unknown;
    const bool balanced = Scan(
        trimmed, [](std::string_view) {},
        [&](std::string_view name) {
            const std::optional<Part> part = PartOf(name);
            if (!part) {
                if (unknown.empty())
                    unknown = "{" + std::string(name) + "}";
                return;
            }
            zoom |= *part == Part::Zoom;
            x |= *part == Part::X;
            y |= *part == Part::Y || *part == Part::FlippedY;
            quadkey |= *part == Part::Quadkey;
            subdomain |= *part == Part::Subdomain;
        });
    if (!balanced)
        return std::string("The URL template has a brace without its partner.");
    if (!unknown.empty())
        return "The URL template names the unknown placeholder " + unknown + ".";
    if (!quadkey && !(zoom && x && y))
        return std::string("The URL template must name the tile's zoom, x and y ({z}, {x}, {y}) "
                           "or its quadkey ({q}).");
    if (subdomain && !hasSubdomains)
        return std::string("The URL template names a subdomain ({s}) but the source lists none.");
    return std::nullopt;
}

std::optional<std::string> CheckSource(const TileSource& source) {
    if (TrimBlanks(source.Name).empty())
        return std::string("A tile source needs a name.");
    if (source.Name.find_first_of("[]") != std::string::npos || HasControl(source.Name))
        return std::string("A source's name cannot hold \"[\", \"]\" or a line break.");
    if (source.Name.size() > MaxProfileText)
        return "A source's name is longer than " + std::to_string(MaxProfileText) +
               " characters.";
    if (EqualsNoCase(TrimBlanks(source.Name), BuiltInSourceName))
        return "\"" + std::string(BuiltInSourceName) + "\" is the name of the built-in source.";
    if (std::all_of(source.Templates.begin(), source.Templates.end(),
                    [](const std::string& t) { return TrimBlanks(t).empty(); }))
        return std::string("The source offers no map type: give at least one URL template.");
    for (std::size_t i = 0; i < source.Templates.size(); ++i) {
        if (TrimBlanks(source.Templates[i]).empty())
            continue;
        if (auto fault = CheckTemplate(source.Templates[i], !source.Subdomains.empty()))
            return std::string(MapTypeNames[i]) + ": " + *fault;
    }
    for (const std::string& subdomain : source.Subdomains)
        if (subdomain.empty() || subdomain.find_first_of("/{}@:[] ") != std::string::npos ||
            HasControl(subdomain))
            return "The subdomain \"" + subdomain + "\" is not a part of a host name.";
    if (const TileFormatRow* row = TileFormatNamed(source.Format);
        !row || row->Extension != source.Format)
        return "The tile format must be png, jpg or webp, not \"" + source.Format + "\".";
    if (source.TileSize != 256 && source.TileSize != 512)
        return "A tile is 256 or 512 pixels a side, not " + std::to_string(source.TileSize) + ".";
    if (source.MinZoom < 0 || source.MaxZoom > 22 || source.MinZoom > source.MaxZoom)
        return std::string("The zoom levels must lie within 0 to 22, the smallest first.");
    if (source.Bounds &&
        (source.Bounds->West >= source.Bounds->East ||
         source.Bounds->South >= source.Bounds->North || source.Bounds->West < -180 ||
         source.Bounds->East > 180 || source.Bounds->South < -90 || source.Bounds->North > 90))
        return std::string("The bounds must be west, south, east, north in degrees, each edge "
                           "within the map and west of east, south of north.");
    if (source.Workers < 1 || source.Workers > 8)
        return std::string("A source has 1 to 8 workers.");
    if (source.TileDelayMs < 0 || source.TileDelayMs > 600000)
        return std::string("The wait after each tile must be 0 to 600000 ms.");
    if (source.MinAgeDays < 0 || source.MinAgeDays > 3650)
        return std::string("MinAge must be 0 to 3650 days.");
    if (auto fault = CheckField("User-Agent", source.UserAgent))
        return fault;
    if (auto fault = CheckField("Referer", source.Referer))
        return fault;
    if (auto fault = CheckField("attribution", source.Attribution))
        return fault;
    for (std::size_t i = 0; i < source.Headers.size(); ++i) {
        const auto& [name, value] = source.Headers[i];
        const std::string which = "Header " + std::to_string(i + 1);
        if (!IsHeaderName(name))
            return which + " is not of the form \"Name: value\".";
        for (std::string_view reserved : ReservedHeaders)
            if (EqualsNoCase(name, reserved))
                return which + " names " + std::string(reserved) +
                       ", which Quarrow sets itself: a source cannot set it.";
        if (!IsHeaderValue(value))
            return which + " (" + name + ") holds a line break or another control character.";
        if (name.size() + 2 + value.size() > MaxProfileText)
            return which + " (" + name + ") is longer than " + std::to_string(MaxProfileText) +
                   " characters.";
    }
    return std::nullopt;
}

std::string ExpandTemplate(std::string_view urlTemplate, int z, int x, int y,
                           const std::vector<std::string>& subdomains) {
    std::string url;
    Scan(
        TrimBlanks(urlTemplate), [&](std::string_view literal) { url.append(literal); },
        [&](std::string_view name) {
            switch (PartOf(name).value_or(Part::Nothing)) {
            case Part::Zoom:
                AppendInt(url, z);
                break;
            case Part::X:
                AppendInt(url, x);
                break;
            case Part::Y:
                AppendInt(url, y);
                break;
            case Part::FlippedY:
                AppendInt(url, (1LL << z) - 1 - y);
                break;
            case Part::Quadkey:
                url += Quadkey(z, x, y);
                break;
            case Part::Subdomain:
                if (!subdomains.empty())
                    url += subdomains[static_cast<std::size_t>(
                        (static_cast<long long>(x) + y) %
                        static_cast<long long>(subdomains.size()))];
                break;
            case Part::Nothing:
                break;
            }
        });
    return url;
}

std::string Quadkey(int z, int x, int y) {
    std::string key;
    for (int level = z; level > 0; --level) {
        const int mask = 1 << (level - 1);
        key += static_cast<char>('0' + ((x & mask) ? 1 : 0) + ((y & mask) ? 2 : 0));
    }
    return key;
}

std::optional<std::string> RefusedService(const TileSource& source) {
    // Services whose terms forbid bulk downloading and offline use, whatever a sources file says.
    constexpr std::string_view Forbidding[] = {"tile.openstreetmap.org", "tile.osm.org"};
    for (const std::string& urlTemplate : source.Templates) {
        const std::string host = TemplateHost(urlTemplate);
        for (std::string_view refused : Forbidding) {
            const bool named =
                host == refused || (host.size() > refused.size() && host.ends_with(refused) &&
                                    host[host.size() - refused.size() - 1] == '.');
            if (named)
                return "\"" + source.Name + "\" fetches from " + std::string(refused) +
                       ", whose terms (the OpenStreetMap Foundation's tile usage policy) forbid "
                       "bulk downloading and offline use. Use a tile service that allows it, or "
                       "your own tile server.";
        }
    }
    return std::nullopt;
}

} // namespace quarrow
