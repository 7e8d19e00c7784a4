#include "MapPage.h"

#include <cstdlib>
#include <filesystem>

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "base/Json.h"
#include "base/NumberText.h"
#include "store/TextFile.h"
#include "store/TileFile.h"

namespace quarrow::archive {

namespace {

constexpr const char* Files[] = {"leaflet.js",
                                 "leaflet.css",
                                 "images/layers.png",
                                 "images/layers-2x.png",
                                 "images/marker-icon.png",
                                 "images/marker-icon-2x.png",
                                 "images/marker-shadow.png"};

std::string HtmlText(std::string_view text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// A JSON string that cannot end the script it stands in.
std::string ScriptString(std::string_view text) {
    std::string json = JsonString(text);
    std::string out;
    for (const char c : json)
        out += c == '<' ? std::string("\\u003c") : std::string(1, c);
    return out;
}

std::string Point(const GeoPoint& point) {
    return "[" + RoundTripText(point.Lat) + "," + RoundTripText(point.Lon) + "]";
}

} // namespace

std::string LeafletFolder() {
    const char* own = std::getenv("QUARROW_LEAFLET");
    return own && *own ? own : "/usr/share/javascript/leaflet";
}

std::span<const char* const> LeafletFiles() {
    return Files;
}

std::string MapPageHtml(const ArchiveInfo& info) {
    // Leaflet places a 512-pixel tile of level z at its own level z + 1.
    const int shift = info.TileSize == 512 ? 1 : 0;
    const std::string minZoom = std::to_string(info.MinZoom + shift);
    const std::string maxNative = std::to_string(info.MaxZoom + shift);
    const std::string maxZoom = std::to_string(info.MaxZoom + shift + 2);
    std::string outline = "[";
    for (const GeoLine& line : info.Outline) {
        outline += outline.size() > 1 ? ",[" : "[";
        for (std::size_t i = 0; i < line.size(); ++i)
            outline += (i ? "," : "") + Point(line[i]);
        outline += "]";
    }
    outline += "]";
    const std::string bounds = "[[" + RoundTripText(info.South) + "," + RoundTripText(info.West) +
                               "],[" + RoundTripText(info.North) + "," + RoundTripText(info.East) +
                               "]]";
    return "<!DOCTYPE html>\n"
           "<html>\n"
           "<head>\n"
           "<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
           "<title>" + HtmlText(info.Name) + "</title>\n"
           "<link rel=\"stylesheet\" href=\"leaflet/leaflet.css\">\n"
           "<script src=\"leaflet/leaflet.js\"></script>\n"
           "<style>html, body, #map { height: 100%; margin: 0; }</style>\n"
           "</head>\n"
           "<body>\n"
           "<div id=\"map\"></div>\n"
           "<script>\n"
           "var bounds = " + bounds + ";\n"
           "var map = L.map('map', {minZoom: " + minZoom + ", maxZoom: " + maxZoom + "});\n"
           "L.tileLayer('{z}/{x}/{y}." + info.Format + "', {\n"
           "  tileSize: " + std::to_string(info.TileSize) + ", zoomOffset: " +
           std::to_string(-shift) + ",\n"
           "  minZoom: " + minZoom + ", minNativeZoom: " + minZoom + ", maxNativeZoom: " +
           maxNative + ", maxZoom: " + maxZoom + ",\n"
           "  bounds: bounds,\n"
           "  attribution: " + ScriptString(HtmlText(info.Attribution)) + "\n"
           "}).addTo(map);\n"
           "var outline = " + outline + ";\n"
           "outline.forEach(function (line) {\n"
           "  L.polyline(line, {color: '#1d4ed8', weight: 3, interactive: false}).addTo(map);\n"
           "});\n"
           "map.fitBounds(bounds);\n"
           "</script>\n"
           "</body>\n"
           "</html>\n";
}

std::vector<std::string> WriteMapPage(const std::string& folder, const ArchiveInfo& info) {
    const std::string source = LeafletFolder();
    std::vector<std::string> written;
    std::error_code ec;
    std::filesystem::create_directories(folder + "/leaflet/images", ec);
    if (ec)
        throw WriteError(folder + "/leaflet/images", ": " + ec.message());
    std::string bytes;
    for (const char* file : LeafletFiles()) {
        if (!ReadWholeFile(source + "/" + file, bytes, MaxTileFileSize))
            throw Exception("Leaflet's " + std::string(file) + " cannot be read in " + source +
                            ": install libjs-leaflet (or name its folder in QUARROW_LEAFLET) for "
                            "the tree's web page.");
        written.push_back(folder + "/leaflet/" + file);
        ReplaceFile(written.back(), bytes, Flush::Later);
    }
    written.insert(written.begin(), folder + "/index.html");
    ReplaceFile(written.front(), MapPageHtml(info), Flush::Later);
    return written;
}

} // namespace quarrow::archive
