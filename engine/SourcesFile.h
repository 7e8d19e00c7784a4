// The sources file (ini/sources.ini beside the settings, one section per custom source) and the
// "Source" section of a project file, which records the source of one task.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "TileSource.h"

namespace quarrow {

// Bounds as written in both files: "west,south,east,north" in degrees, "." as decimal point,
// each number in the shortest form that reads back the same.
std::optional<GeoBounds> ParseBounds(const std::string& text);
std::string BoundsText(const GeoBounds& bounds);

// The sources file beside the settings file of the programs in this folder.
std::string SourcesFilePath(const std::string& executableFolder);

// The custom sources of the file, in file order. A section that is not a usable source is left
// out and its fault, naming the section, added to faults (when given). None for a missing file.
std::vector<TileSource> ReadSources(const std::string& path,
                                    std::vector<std::string>* faults = nullptr);

// The name, or the name with " (2)", " (3)" ... when a source of the list has it already (letter
// case ignored, as the file's sections are): an added source never replaces one.
std::string UniqueSourceName(const std::vector<TileSource>& sources, const std::string& name);

// Rewrites the file whole with these sources. Throws "Unable to write to " + path.
void WriteSources(const std::string& path, const std::vector<TileSource>& sources);

// The lines of a project file's "Source" section for a task of that map type (17..19): the task's
// own template and the source's rules; nothing for the built-in source (nullopt).
std::vector<std::string> ProjectSourceLines(const std::optional<TileSource>& source, int mapsType);

// A project file's source that does not pass the checks of every source (CheckSource): a project
// file may come from anywhere, so its source is trusted no more than an import.
class SourceFault : public Exception {
public:
    using Exception::Exception;
};

// A project file's source: nullopt without a "Source" section (the built-in source); otherwise
// the source with its one template at the task's map type. Throws a SourceFault naming the file
// and what is wrong.
std::optional<TileSource> ReadProjectSource(const std::string& projectFile, int mapsType);

} // namespace quarrow
