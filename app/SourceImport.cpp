// Each reader turns its form into sources with one template; the checks are the sources file's.
#include "SourceImport.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QXmlStreamReader>

#include "engine/TileFormat.h"
#include "base/Exception.h"
#include "base/TextRules.h"

namespace quarrow {

namespace {

std::string Std(const QString& text) {
    return text.toStdString();
}

// "png", "jpg" or "webp" from a tile type or a URL's ending; the text itself otherwise, so that the check
// names it.
std::string FormatOf(std::string text) {
    text = std::string(TrimBlanks(text));
    for (char& c : text)
        c = LowerAscii(c);
    const std::size_t query = text.find('?');
    if (query != std::string::npos)
        text.resize(query);
    const std::size_t dot = text.rfind('.');
    if (dot != std::string::npos && text.find('/') != std::string::npos)
        text = text.substr(dot + 1);
    if (text.empty())
        return std::string(RowOf(TileFormat::Png).Extension);
    const TileFormatRow* format = TileFormatNamed(text);
    return format ? std::string(format->Extension) : text;
}

// 512 for a template of "@2x" tiles (the retina tiles of many services), else 256.
int TileSizeOf(const std::string& urlTemplate) {
    return urlTemplate.find("@2x") != std::string::npos ? 512 : 256;
}

// Rows counted from the south (TMS): the template's y becomes {-y}.
void FlipRows(std::string& urlTemplate) {
    ReplaceAll(urlTemplate, "{$y}", "{-y}");
    ReplaceAll(urlTemplate, "{y}", "{-y}");
}

// Keeps the sources that pass the checks; the others become notes. Each text is taken without
// the blanks around it, as the sources file gives it back.
void Accept(ImportedSources& imported, TileSource source) {
    for (std::string* text : {&source.Name, &source.UserAgent, &source.Referer, &source.Attribution})
        *text = std::string(TrimBlanks(*text));
    for (std::string& urlTemplate : source.Templates)
        urlTemplate = std::string(TrimBlanks(urlTemplate));
    for (auto& [name, value] : source.Headers) {
        name = std::string(TrimBlanks(name));
        value = std::string(TrimBlanks(value));
    }
    if (const auto fault = CheckSource(source)) {
        imported.Notes.push_back("\"" + source.Name + "\" left out: " + *fault);
        return;
    }
    imported.Sources.push_back(std::move(source));
}

// The elements of one <customMapSource>, up to its end.
TileSource ReadMobacSource(QXmlStreamReader& xml) {
    TileSource source;
    bool invert = false;
    std::string tileType;
    while (xml.readNextStartElement()) {
        const QString name = xml.name().toString();
        const std::string text = Std(xml.readElementText(QXmlStreamReader::SkipChildElements));
        if (name == "name")
            source.Name = std::string(TrimBlanks(text));
        else if (name == "url")
            source.Templates[0] = std::string(TrimBlanks(text));
        else if (name == "minZoom")
            source.MinZoom = ParseInteger(text).value_or(source.MinZoom);
        else if (name == "maxZoom")
            source.MaxZoom = ParseInteger(text).value_or(source.MaxZoom);
        else if (name == "tileType")
            tileType = text;
        else if (name == "serverParts") {
            std::string parts = text;
            for (char& c : parts)
                if (c == ',')
                    c = ' ';
            std::string_view rest = parts;
            while (!(rest = TrimBlanks(rest)).empty()) {
                const std::size_t blank = rest.find(' ');
                source.Subdomains.emplace_back(rest.substr(0, blank));
                rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank);
            }
        } else if (name == "invertYCoordinate")
            invert = EqualsNoCase(TrimBlanks(text), "true");
    }
    if (invert)
        FlipRows(source.Templates[0]);
    source.Format = FormatOf(tileType.empty() ? source.Templates[0] : tileType);
    return source;
}

ImportedSources ReadMobac(QXmlStreamReader& xml) {
    ImportedSources imported;
    if (xml.name() == QStringLiteral("customMapSource")) {
        Accept(imported, ReadMobacSource(xml));
        return imported;
    }
    // A multi-layer source: its first layer, as no tile of Quarrow's is drawn from several.
    std::string name;
    int layers = 0;
    std::optional<TileSource> first;
    while (xml.readNextStartElement()) {
        if (xml.name() == QStringLiteral("name")) {
            name = std::string(TrimBlanks(Std(xml.readElementText())));
        } else if (xml.name() == QStringLiteral("layers")) {
            while (xml.readNextStartElement()) {
                if (xml.name() == QStringLiteral("customMapSource")) {
                    ++layers;
                    TileSource layer = ReadMobacSource(xml);
                    if (!first)
                        first = std::move(layer);
                } else {
                    xml.skipCurrentElement();
                }
            }
        } else {
            xml.skipCurrentElement();
        }
    }
    if (first) {
        if (!name.empty())
            first->Name = name;
        if (layers > 1)
            imported.Notes.push_back("\"" + first->Name + "\" has " + std::to_string(layers) +
                                     " layers: only the first is taken.");
        Accept(imported, std::move(*first));
    }
    return imported;
}

ImportedSources ReadQgis(QXmlStreamReader& xml) {
    ImportedSources imported;
    while (xml.readNextStartElement()) {
        if (xml.name() != QStringLiteral("xyztiles")) {
            xml.skipCurrentElement();
            continue;
        }
        const QXmlStreamAttributes attributes = xml.attributes();
        TileSource source;
        source.Name = std::string(TrimBlanks(Std(attributes.value("name").toString())));
        source.Templates[0] = std::string(TrimBlanks(Std(attributes.value("url").toString())));
        source.MinZoom = ParseInteger(Std(attributes.value("zmin").toString())).value_or(0);
        source.MaxZoom = ParseInteger(Std(attributes.value("zmax").toString())).value_or(18);
        source.Referer = Std(attributes.value("referer").toString());
        // "http-header:NAME" attributes are the request headers QGIS sends: the Referer (often
        // beside the plain "referer", taken once), the User-Agent, any other header.
        for (const QXmlStreamAttribute& attribute : attributes) {
            const QStringView qualified = attribute.qualifiedName();
            if (!qualified.startsWith(u"http-header:"))
                continue;
            const std::string name = Std(qualified.mid(12).toString());
            const std::string value = std::string(TrimBlanks(Std(attribute.value().toString())));
            if (EqualsNoCase(name, "referer")) {
                if (TrimBlanks(source.Referer).empty())
                    source.Referer = value;
            } else if (EqualsNoCase(name, "user-agent")) {
                source.UserAgent = value;
            } else if (!value.empty()) {
                source.Headers.emplace_back(name, value);
            }
        }
        source.Format = FormatOf(source.Templates[0]);
        source.TileSize = TileSizeOf(source.Templates[0]);
        xml.skipCurrentElement();
        Accept(imported, std::move(source));
    }
    return imported;
}

ImportedSources ReadTileJson(const QJsonObject& json, const std::string& path) {
    ImportedSources imported;
    TileSource source;
    source.Name = Std(json.value("name").toString());
    if (TrimBlanks(source.Name).empty())
        source.Name = Std(QFileInfo(QString::fromStdString(path)).completeBaseName());
    const QJsonArray tiles = json.value("tiles").toArray();
    if (tiles.isEmpty())
        throw Exception(path + " is a TileJSON file without \"tiles\": it names no tile URL.");
    source.Templates[0] = Std(tiles.first().toString());
    if (json.value("scheme").toString() == QStringLiteral("tms"))
        FlipRows(source.Templates[0]);
    source.MinZoom = json.value("minzoom").toInt(0);
    source.MaxZoom = json.value("maxzoom").toInt(22);
    if (const QJsonArray bounds = json.value("bounds").toArray(); bounds.size() == 4)
        source.Bounds = GeoBounds{bounds[0].toDouble(), bounds[1].toDouble(), bounds[2].toDouble(),
                                  bounds[3].toDouble()};
    // An attribution is shown as one line: its breaks and other control characters fold to blanks.
    source.Attribution = Std(json.value("attribution").toString());
    for (char& c : source.Attribution)
        if (IsControl(c))
            c = ' ';
    // The file's own word on the tiles, else the URL's ending.
    const QString format = json.value("format").toString();
    source.Format = FormatOf(format.isEmpty() ? source.Templates[0] : Std(format));
    source.TileSize = json.value("tileSize").toInt(TileSizeOf(source.Templates[0]));
    if (tiles.size() > 1)
        imported.Notes.push_back("\"" + source.Name + "\" lists " + std::to_string(tiles.size()) +
                                 " tile URLs: the first is taken.");
    Accept(imported, std::move(source));
    return imported;
}

} // namespace

ImportedSources ImportSources(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw ReadError(path);
    // A source file is a few kilobytes; a larger one is no source file, and is not read whole.
    if (file.size() > MaxImportBytes)
        throw Exception(path + " is larger than " + std::to_string(MaxImportBytes >> 20) +
                        " MB: no map source file is that large.");
    const QByteArray content = file.read(MaxImportBytes + 1);
    if (content.size() > MaxImportBytes)
        throw Exception(path + " is larger than " + std::to_string(MaxImportBytes >> 20) +
                        " MB: no map source file is that large.");
    return ImportSourceBytes(std::string_view(content.constData(),
                                              static_cast<std::size_t>(content.size())),
                             path);
}

ImportedSources ImportSourceBytes(std::string_view bytes, const std::string& path) {
    const QByteArray content =
        QByteArray::fromRawData(bytes.data(), static_cast<qsizetype>(bytes.size()));
    ImportedSources imported;
    bool known = false;
    if (content.trimmed().startsWith('{')) {
        QJsonParseError error{};
        const QJsonDocument document = QJsonDocument::fromJson(content, &error);
        if (document.isObject() && document.object().contains("tiles")) {
            known = true;
            imported = ReadTileJson(document.object(), path);
        }
    } else {
        QXmlStreamReader xml(content);
        // QGIS 3.24 to 3.40 write "http-header:referer" without declaring the prefix: attributes
        // are read by their names as written, as QGIS reads them.
        xml.setNamespaceProcessing(false);
        if (xml.readNextStartElement()) {
            const QString root = xml.name().toString();
            if (root == "customMapSource" || root == "customMultiLayerMapSource") {
                known = true;
                imported = ReadMobac(xml);
            } else if (root == "qgsXYZTilesConnections") {
                known = true;
                imported = ReadQgis(xml);
            }
        }
        if (known && xml.hasError())
            throw Exception(path + " cannot be read: " + Std(xml.errorString()));
    }
    if (!known)
        throw Exception(path + " is neither a MOBAC map source, a QGIS XYZ connections file nor "
                               "a TileJSON file.");
    if (imported.Sources.empty()) {
        std::string why;
        for (const std::string& note : imported.Notes)
            why += "\n" + note;
        throw Exception(path + " names no usable tile source." + why);
    }
    return imported;
}

} // namespace quarrow
