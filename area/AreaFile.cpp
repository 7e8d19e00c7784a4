// XML through expat as it streams from the file, element names without their prefixes; GeoJSON
// through the engine's own reader, which also reads a task's saved area.
#include "AreaFile.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string_view>

#include <expat.h>
#include <unistd.h>

#include "base/Exception.h"
#include "base/NumberText.h"
#include "geo/ShapeSimplifier.h"
#include "store/TextFile.h"

namespace quarrow {

namespace {

constexpr std::size_t ReadSize = 1 << 16;
// Longer than any "lon,lat,alt" tuple: what is longer is no coordinate, and is not kept.
constexpr std::size_t MaxTupleSize = 256;

bool NearlyEqual(const GeoPoint& a, const GeoPoint& b) {
    return std::abs(a.Lon - b.Lon) < 1e-9 && std::abs(a.Lat - b.Lat) < 1e-9;
}

bool IsXmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view LocalName(const XML_Char* name) {
    const std::string_view text(name);
    const std::size_t colon = text.rfind(':');
    return colon == std::string_view::npos ? text : text.substr(colon + 1);
}

// A number of the file: a "," is no decimal point here, as it is in a typed coordinate.
std::optional<double> XmlNumber(std::string_view text) {
    if (text.find(',') != std::string_view::npos)
        return std::nullopt;
    return ParseCoordinate(text);
}

// "lon,lat[,alt]" of a KML <coordinates>.
std::optional<GeoPoint> KmlTuple(std::string_view tuple) {
    const std::size_t comma = tuple.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = tuple.substr(comma + 1);
    rest = rest.substr(0, rest.find(','));
    const auto lon = XmlNumber(tuple.substr(0, comma));
    const auto lat = XmlNumber(rest);
    if (!lon || !lat)
        return std::nullopt;
    return GeoPoint{*lon, *lat};
}

enum class Form { None, Gpx, Kml, Other };

// The handlers' state: GPX tracks and routes thinned as their points come; KML geometries of
// every Placemark at any depth, MultiGeometry included, thinned once read.
class XmlShapeReader {
public:
    XmlShapeReader(XML_Parser parser, const AreaFileOptions& options)
        : m_parser(parser), m_options(options), m_simplifier(options.SimplifyZoom) {
        XML_SetUserData(parser, this);
        XML_SetElementHandler(parser, &XmlShapeReader::OnStart, &XmlShapeReader::OnEnd);
        XML_SetCharacterDataHandler(parser, &XmlShapeReader::OnText);
        XML_SetEntityDeclHandler(parser, &XmlShapeReader::OnEntity);
        XML_SetUnknownEncodingHandler(parser, &XmlShapeReader::OnEncoding, nullptr);
    }

    Form Read() const { return m_form; }
    void ThrowFailure() const {
        if (m_failure)
            std::rethrow_exception(m_failure);
    }
    bool DeclaredEntities() const { return m_entities; }
    AreaShape& Shape() { return m_shape; }

private:
    // No exception may cross expat's C frames: it is kept, the parse stopped, and it is thrown
    // again once expat has returned.
    template <typename Work> static void Guarded(void* data, Work work) {
        auto* self = static_cast<XmlShapeReader*>(data);
        try {
            work(*self);
        } catch (...) {
            self->m_failure = std::current_exception();
            XML_StopParser(self->m_parser, XML_FALSE);
        }
    }
    static void OnStart(void* data, const XML_Char* name, const XML_Char** attributes) {
        Guarded(data, [&](XmlShapeReader& self) { self.Start(LocalName(name), attributes); });
    }
    static void OnEnd(void* data, const XML_Char* name) {
        Guarded(data, [&](XmlShapeReader& self) { self.End(LocalName(name)); });
    }
    static void OnText(void* data, const XML_Char* text, int length) {
        Guarded(data, [&](XmlShapeReader& self) {
            if (self.m_inCoordinates)
                self.CoordinateText(std::string_view(text, static_cast<std::size_t>(length)));
        });
    }
    // An area file has no use for entities; one that declares them is refused, whatever they hold.
    static void OnEntity(void* data, const XML_Char*, int, const XML_Char*, int, const XML_Char*,
                         const XML_Char*, const XML_Char*, const XML_Char*) {
        auto* self = static_cast<XmlShapeReader*>(data);
        self->m_entities = true;
        XML_StopParser(self->m_parser, XML_FALSE);
    }
    // Any other single-byte declaration (windows-1252, say): names and numbers are ASCII, and the
    // texts between them are not read.
    static int OnEncoding(void*, const XML_Char*, XML_Encoding* info) {
        for (int byte = 0; byte < 256; ++byte)
            info->map[byte] = byte;
        info->data = nullptr;
        info->convert = nullptr;
        info->release = nullptr;
        return XML_STATUS_OK;
    }

    void Start(std::string_view name, const XML_Char** attributes) {
        if (m_form == Form::None) {
            m_form = name == "gpx" ? Form::Gpx : name == "kml" ? Form::Kml : Form::Other;
            if (m_form == Form::Other)
                XML_StopParser(m_parser, XML_FALSE);
            return;
        }
        if (m_form == Form::Gpx)
            GpxStart(name, attributes);
        else
            KmlStart(name);
    }

    void End(std::string_view name) {
        if (m_form == Form::Gpx) {
            if (name == "trkseg" || name == "rte")
                FinishTrack();
        } else if (m_form == Form::Kml) {
            KmlEnd(name);
        }
    }

    void GpxStart(std::string_view name, const XML_Char** attributes) {
        if (name != "trkpt" && name != "rtept")
            return;
        std::optional<double> lon, lat;
        for (int i = 0; attributes[i]; i += 2) {
            const std::string_view key = LocalName(attributes[i]);
            if (key == "lon")
                lon = XmlNumber(attributes[i + 1]);
            else if (key == "lat")
                lat = XmlNumber(attributes[i + 1]);
        }
        if (lon && lat)
            m_simplifier.Add({*lon, *lat});
    }

    void FinishTrack() {
        GeoLine line = m_simplifier.Finish();
        if (m_options.ClosedTracksAsPolygons && line.size() > 3 &&
            NearlyEqual(line.front(), line.back())) {
            line.pop_back();
            m_shape.Polygons.push_back({std::move(line)});
        } else if (!line.empty()) {
            m_shape.Lines.push_back(std::move(line));
        }
    }

    void KmlStart(std::string_view name) {
        if (name == "Polygon") {
            m_inPolygon = true;
            m_polygon.clear();
        } else if (name == "outerBoundaryIs") {
            m_inner = false;
        } else if (name == "innerBoundaryIs") {
            m_inner = true;
        } else if (name == "LineString") {
            m_inLine = true;
        } else if (name == "coordinates") {
            m_inCoordinates = true;
            m_points.clear();
            m_tuple.clear();
            m_skipping = false;
        }
    }

    void KmlEnd(std::string_view name) {
        if (name == "coordinates") {
            m_inCoordinates = false;
            EndTuple();
            if (m_inPolygon) {
                GeoRing ring = std::move(m_points);
                if (ring.size() > 1 && NearlyEqual(ring.front(), ring.back()))
                    ring.pop_back();
                // The outer boundary first, whichever order the file has.
                if (m_inner)
                    m_polygon.push_back(std::move(ring));
                else
                    m_polygon.insert(m_polygon.begin(), std::move(ring));
            } else if (m_inLine) {
                m_shape.Lines.push_back(std::move(m_points));
            }
            m_points.clear();
        } else if (name == "Polygon") {
            if (!m_polygon.empty())
                m_shape.Polygons.push_back(std::move(m_polygon));
            m_polygon.clear();
            m_inPolygon = false;
        } else if (name == "LineString") {
            m_inLine = false;
        }
    }

    // The text comes in pieces that may end inside a tuple: what follows the last blank waits for
    // the next piece.
    void CoordinateText(std::string_view text) {
        for (const char c : text) {
            if (IsXmlSpace(c)) {
                EndTuple();
            } else if (!m_skipping) {
                m_tuple.push_back(c);
                if (m_tuple.size() > MaxTupleSize) {
                    m_tuple.clear();
                    m_skipping = true;
                }
            }
        }
    }

    void EndTuple() {
        if (!m_tuple.empty())
            if (const auto point = KmlTuple(m_tuple))
                m_points.push_back(*point);
        m_tuple.clear();
        m_skipping = false;
    }

    XML_Parser m_parser;
    const AreaFileOptions& m_options;
    PointSimplifier m_simplifier;
    Form m_form = Form::None;
    bool m_entities = false;
    std::exception_ptr m_failure;
    AreaShape m_shape;
    GeoPolygon m_polygon;
    std::vector<GeoPoint> m_points;
    std::string m_tuple;
    bool m_inPolygon = false, m_inner = false, m_inLine = false, m_inCoordinates = false;
    bool m_skipping = false;
};

struct ParserFree {
    void operator()(XML_Parser parser) const { XML_ParserFree(parser); }
};
struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// The GPX or KML shape, read from the file a piece at a time after `head` (its first bytes).
AreaShape ReadXmlShape(std::FILE* file, const std::string& head, const AreaFileOptions& options) {
    const std::unique_ptr<XML_ParserStruct, ParserFree> parser(XML_ParserCreate(nullptr));
    if (!parser)
        throw Exception("it cannot be read: out of memory");
    XmlShapeReader reader(parser.get(), options);
    bool last = false;
    for (bool first = true; !last; first = false) {
        void* buffer = XML_GetBuffer(parser.get(), ReadSize);
        if (!buffer)
            throw Exception("it cannot be read: out of memory");
        std::size_t size = 0;
        if (first) {
            size = head.size();
            std::copy(head.begin(), head.end(), static_cast<char*>(buffer));
        } else {
            size = std::fread(buffer, 1, ReadSize, file);
            if (std::ferror(file))
                throw Exception("it cannot be read");
        }
        last = !first && size == 0;
        if (XML_ParseBuffer(parser.get(), static_cast<int>(size), last) != XML_STATUS_OK) {
            reader.ThrowFailure();
            if (reader.DeclaredEntities())
                throw Exception("it cannot be read: it declares XML entities");
            if (reader.Read() == Form::None || reader.Read() == Form::Other)
                throw Exception("it is neither GPX, KML nor GeoJSON");
            throw Exception("it cannot be read: " +
                            std::string(XML_ErrorString(XML_GetErrorCode(parser.get()))) +
                            " at line " +
                            std::to_string(XML_GetCurrentLineNumber(parser.get())));
        }
    }
    AreaShape& shape = reader.Shape();
    if (reader.Read() == Form::Gpx)
        shape.SimplifiedAt = options.SimplifyZoom;
    else
        shape = SimplifyShape(shape, options.SimplifyZoom);
    return std::move(shape);
}

} // namespace

AreaShape ReadAreaFile(const std::string& path, const AreaFileOptions& options) {
    // Not waiting on a FIFO, nor reading a device without end: only a regular file is an area.
    const int fd = OpenRegularFile(path);
    if (fd == NotRegularFile)
        throw Exception("The area file " + path + " is not a regular file.");
    const std::unique_ptr<std::FILE, FileClose> file(fd < 0 ? nullptr : ::fdopen(fd, "rb"));
    if (!file) {
        if (fd >= 0)
            ::close(fd);
        throw Exception("The area file " + path + " cannot be read.");
    }
    // JSON begins with "{"; XML is read from the file as it goes.
    std::string head(ReadSize, '\0');
    head.resize(std::fread(head.data(), 1, head.size(), file.get()));
    if (std::ferror(file.get()))
        throw Exception("The area file " + path + " cannot be read.");
    const std::size_t content = head.find_first_not_of(" \t\r\n");
    const bool json = content != std::string::npos && head[content] == '{';
    AreaShape shape;
    try {
        if (json) {
            std::string text;
            if (!ReadWholeFile(path, text))
                throw Exception("it cannot be read");
            shape = SimplifyShape(ShapeFromGeoJson(text, options.CorridorKm), options.SimplifyZoom);
        } else {
            shape = ReadXmlShape(file.get(), head, options);
            shape.CorridorKm = options.CorridorKm;
            if (shape.Empty())
                throw Exception("it holds no track, route, polygon or line");
        }
    } catch (const Exception& error) {
        throw Exception("The area file " + path + " is not usable: " + error.Message() + ".");
    }
    // Lines of a single point and rings of fewer than three corners carry no area.
    std::erase_if(shape.Lines, [](const GeoLine& line) { return line.size() < 2; });
    if (const auto fault = CheckShape(shape))
        throw Exception("The area file " + path + " is not usable: " + *fault);
    return shape;
}

} // namespace quarrow
