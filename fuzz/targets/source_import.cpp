// A MOBAC map source, a QGIS XYZ export or a TileJSON file from anyone: what is imported passes
// the checks and goes into the sources file and back unchanged, so it cannot write what it does
// not show.
#include "FuzzSupport.h"
#include "app/SourceImport.h"
#include "base/Exception.h"
#include "engine/SourcesFile.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ImportedSources imported;
    try {
        imported = ImportSourceBytes(std::string_view(reinterpret_cast<const char*>(data), size),
                                     "fuzzed");
    } catch (const Exception&) {
        return 0;
    }
    // As the sources window adds them: each under a name of its own.
    std::vector<TileSource> added;
    for (TileSource& source : imported.Sources) {
        fuzz::Check(!CheckSource(source), "an imported source passes the checks");
        source.Name = UniqueSourceName(added, source.Name);
        added.push_back(source);
    }
    const std::string path = fuzz::ScratchFolder() + "imported.ini";
    WriteSources(path, added);
    fuzz::Check(ReadSources(path) == added, "the imported sources read back the same");
    return 0;
}
