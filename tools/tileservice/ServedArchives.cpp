#include "ServedArchives.h"

#include <charconv>
#include <cstdio>

#include "engine/TileFormat.h"
#include "archive/MapPage.h"
#include "base/Exception.h"
#include "base/Json.h"
#include "store/TextFile.h"
#include "store/TileFile.h"

namespace quarrow::tileservice {

namespace {

// Headers of every answer from the archives: any page may read them, and a browser asks again
// before it uses what it keeps (the archive may have been written anew).
constexpr std::string_view Common = "Access-Control-Allow-Origin: *\r\nCache-Control: no-cache\r\n";

std::string EntityTag(std::string_view bytes) {
    std::uint64_t hash = 14695981039346656037ULL; // FNV-1a
    for (const char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char text[24];
    std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
    return text;
}

std::string_view MediaType(std::string_view file) {
    const auto ends = [file](std::string_view tail) { return file.ends_with(tail); };
    const std::size_t dot = file.rfind('.');
    if (const TileFormatRow* format =
            dot == std::string_view::npos ? nullptr : TileFormatNamed(file.substr(dot + 1));
        format && format->Extension == file.substr(dot + 1))
        return format->Mime;
    return ends(".json") ? "application/json"
           : ends(".js")   ? "text/javascript"
           : ends(".css")  ? "text/css"
           : ends(".html") ? "text/html; charset=utf-8"
                           : "application/octet-stream";
}

// A 200 with its ETag, or a 304 for a request that has it.
Answer Entity(const RequestHead& request, std::string_view type, std::string body,
              const std::string& etag) {
    std::string headers = std::string(Common) + "ETag: " + etag + "\r\n";
    if (!request.IfNoneMatch.empty() && MatchesEntityTag(request.IfNoneMatch, etag))
        return Answer{304, "Not Modified", {}, {}, std::move(headers)};
    return Answer{200, "OK", type, std::move(body), std::move(headers)};
}

Answer Entity(const RequestHead& request, std::string_view type, std::string body) {
    const std::string etag = EntityTag(body);
    return Entity(request, type, std::move(body), etag);
}

Answer NotFound() {
    Answer answer = TextAnswer(404, "Not Found");
    answer.ExtraHeaders = std::string(Common);
    return answer;
}

// A non-negative number of digits only.
std::optional<std::uint64_t> Digits(std::string_view text) {
    std::uint64_t value = 0;
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<int> TileNumber(std::string_view text) {
    const auto value = Digits(text);
    if (!value || text.size() > 10 || *value > (1ULL << 30))
        return std::nullopt;
    return static_cast<int>(*value);
}

// The parts of a target's path between its slashes, the query left out.
std::vector<std::string_view> PathParts(std::string_view target) {
    target = target.substr(0, target.find('?'));
    std::vector<std::string_view> parts;
    if (!target.starts_with('/'))
        return parts;
    target.remove_prefix(1);
    for (;;) {
        const std::size_t slash = target.find('/');
        parts.push_back(target.substr(0, slash));
        if (slash == std::string_view::npos)
            return parts;
        target.remove_prefix(slash + 1);
    }
}

bool IsHostText(std::string_view host) {
    if (host.empty() || host.size() > 255)
        return false;
    for (const char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':' &&
            c != '[' && c != ']')
            return false;
    return true;
}

} // namespace

std::string ServedName(const std::string& path) {
    std::string_view name = path;
    while (name.size() > 1 && name.ends_with('/'))
        name.remove_suffix(1);
    name = name.substr(name.rfind('/') == std::string_view::npos ? 0 : name.rfind('/') + 1);
    if (const std::size_t dot = name.rfind('.'); dot != std::string_view::npos && dot > 0)
        name = name.substr(0, dot);
    std::string served;
    for (const char c : name)
        served += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'
                      ? c
                      : '_';
    return served.empty() || served == "." || served == ".." ? "tiles" : served;
}

ServedArchives::ServedArchives(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        Item item;
        item.Path = path;
        item.Reader = archive::OpenTileReader(path);
        const std::string name = ServedName(path);
        item.Name = name;
        for (int n = 2; Find(item.Name); ++n)
            item.Name = name + "-" + std::to_string(n);
        item.Page = archive::MapPageHtml(item.Reader->Info());
        item.PageTag = EntityTag(item.Page);
        if (const std::uint64_t size = item.Reader->RawSize(); size > 0) {
            // The archive is served as the reader opened it; its header and size tell it apart
            // from the one written before it.
            std::string header;
            item.Reader->ReadRaw(0, static_cast<std::size_t>(std::min<std::uint64_t>(size, 127)),
                                 header);
            item.RawTag = EntityTag(header + std::to_string(size));
        }
        m_items.push_back(std::move(item));
    }
    const std::string folder = archive::LeafletFolder();
    for (const char* file : archive::LeafletFiles()) {
        std::string bytes;
        if (!ReadWholeFile(folder + "/" + file, bytes, MaxTileFileSize)) {
            m_warnings.push_back("Leaflet's " + std::string(file) + " cannot be read in " +
                                 folder + ": the map pages need libjs-leaflet.");
            continue;
        }
        const std::string tag = EntityTag(bytes);
        m_leaflet.push_back({file, std::move(bytes), tag});
    }
}

const ServedArchives::Item* ServedArchives::Find(std::string_view name) const {
    for (const Item& item : m_items)
        if (item.Name == name)
            return &item;
    return nullptr;
}

Answer ServedArchives::AnswerFor(const RequestHead& request, std::string_view authority) const {
    if (request.Method == "OPTIONS") {
        // A page's preflight before a range request.
        Answer answer{204, "No Content", {}, {}, std::string(Common)};
        answer.ExtraHeaders += "Access-Control-Allow-Methods: GET, HEAD\r\n"
                               "Access-Control-Allow-Headers: Range, If-None-Match\r\n";
        return answer;
    }
    if (request.Method != "GET" && request.Method != "HEAD") {
        Answer answer = TextAnswer(405, "Method Not Allowed");
        answer.ExtraHeaders = "Allow: GET, HEAD, OPTIONS\r\n";
        return answer;
    }
    const std::vector<std::string_view> parts = PathParts(request.Target);
    if (parts.size() == 1 && parts[0].empty()) {
        std::string list = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Quarrow's "
                           "tiles</title></head><body><ul>\n";
        for (const Item& item : m_items)
            list += "<li><a href=\"" + item.Name + "/\">" + item.Name + "</a></li>\n";
        return Entity(request, "text/html; charset=utf-8", list + "</ul></body></html>\n");
    }
    if (parts.size() == 1) {
        for (const Item& item : m_items)
            if (!item.RawTag.empty() && parts[0] == item.Name + ".pmtiles")
                return RawAnswer(item, request);
        if (const Item* item = Find(parts[0])) {
            Answer moved{301, "Moved Permanently", "text/plain", "Moved\n", std::string(Common)};
            moved.ExtraHeaders += "Location: /" + item->Name + "/\r\n";
            return moved;
        }
        return NotFound();
    }
    const Item* item = Find(parts[0]);
    if (!item)
        return NotFound();
    const std::string_view rest = request.Target.substr(0, request.Target.find('?'))
                                      .substr(parts[0].size() + 2);
    if (rest.empty() || rest == "index.html")
        return Entity(request, "text/html; charset=utf-8", item->Page, item->PageTag);
    if (rest == "tilejson.json") {
        const std::string host =
            authority.starts_with("0.0.0.0") && IsHostText(request.Host) ? std::string(request.Host)
                                                                          : std::string(authority);
        std::string json;
        for (const std::string& line : archive::TileJsonLines(
                 item->Reader->Info(), "http://" + host + "/" + item->Name + "/{z}/{x}/{y}." +
                                           item->Reader->Info().Format))
            json += line + "\n";
        return Entity(request, "application/json", std::move(json));
    }
    if (rest.starts_with("leaflet/")) {
        for (const LeafletFile& file : m_leaflet)
            if (rest.substr(8) == file.File)
                return Entity(request, MediaType(file.File), file.Bytes, file.Tag);
        return NotFound();
    }
    const std::string& format = item->Reader->Info().Format;
    if (parts.size() == 4 && parts[3].ends_with("." + format)) {
        const auto z = TileNumber(parts[1]);
        const auto x = TileNumber(parts[2]);
        const auto y = TileNumber(parts[3].substr(0, parts[3].size() - format.size() - 1));
        if (z && x && y)
            if (std::optional<std::string> tile = item->Reader->Tile(*z, *x, *y))
                return Entity(request, MediaType("." + format), std::move(*tile));
    }
    return NotFound();
}

Answer ServedArchives::RawAnswer(const Item& item, const RequestHead& request) const {
    const std::uint64_t size = item.Reader->RawSize();
    std::string headers = std::string(Common) + "Accept-Ranges: bytes\r\n" +
                          "Access-Control-Expose-Headers: Content-Range, ETag\r\n";
    headers += "ETag: " + item.RawTag + "\r\n";
    if (!request.IfNoneMatch.empty() && MatchesEntityTag(request.IfNoneMatch, item.RawTag))
        return Answer{304, "Not Modified", {}, {}, std::move(headers)};
    Answer answer{200, "OK", "application/octet-stream", {}, {}};
    answer.Raw = item.Reader.get();
    answer.RawLength = size;
    // One range of bytes; a list of ranges, or what does not read as one, gets the whole file.
    std::string_view range = request.Range;
    if (range.starts_with("bytes=") && range.find(',') == std::string_view::npos) {
        range.remove_prefix(6);
        const std::size_t dash = range.find('-');
        const auto from = dash == std::string_view::npos ? std::nullopt : Digits(range.substr(0, dash));
        const auto to = dash == std::string_view::npos ? std::nullopt : Digits(range.substr(dash + 1));
        std::optional<std::pair<std::uint64_t, std::uint64_t>> span; // first and last byte
        bool unsatisfiable = false;
        if (dash == 0 && to) { // the last N bytes
            if (*to == 0 || size == 0)
                unsatisfiable = true;
            else
                span.emplace(size - std::min(*to, size), size - 1);
        } else if (from && (to || dash + 1 == range.size())) {
            if (*from >= size)
                unsatisfiable = true;
            else if (!to || *to >= *from)
                span.emplace(*from, std::min(to.value_or(size - 1), size - 1));
        }
        if (unsatisfiable) {
            Answer refused = TextAnswer(416, "Range Not Satisfiable");
            refused.ExtraHeaders = headers + "Content-Range: bytes */" + std::to_string(size) + "\r\n";
            return refused;
        }
        if (span) {
            answer.Code = 206;
            answer.Reason = "Partial Content";
            answer.RawOffset = span->first;
            answer.RawLength = span->second - span->first + 1;
            headers += "Content-Range: bytes " + std::to_string(span->first) + "-" +
                       std::to_string(span->second) + "/" + std::to_string(size) + "\r\n";
        }
    }
    answer.ExtraHeaders = std::move(headers);
    return answer;
}

} // namespace quarrow::tileservice
