// The sources file as a user or a program may have left it: every source read from it passes the
// checks, writes back and reads again as the same source (so no field adds a key or a section),
// and the file read once answers as the file read key by key.
#include "FuzzSupport.h"
#include "engine/ProfileFile.h"
#include "engine/SourcesFile.h"

using namespace quarrow;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = fuzz::ScratchFolder();
    const std::string path = folder + "sources.ini";
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fuzz::WriteBytes(path, bytes);

    std::vector<std::string> faults;
    const std::vector<TileSource> sources = ReadSources(path, &faults);
    for (const TileSource& source : sources)
        fuzz::Check(!CheckSource(source), "a source read passes the checks");
    const std::string again = folder + "again.ini";
    WriteSources(again, sources);
    fuzz::Check(ReadSources(again) == sources, "the sources written read back the same");

    const ProfileFile file(path);
    const ProfileSnapshot snapshot(path);
    fuzz::Check(file.SectionNames() == snapshot.SectionNames(), "the same sections");
    for (const std::string& section : snapshot.SectionNames())
        for (const char* key : {"MapView", "Format", "Workers", "Header1", "Attribution"})
            fuzz::Check(file.ReadString(section, key, "-") == snapshot.ReadString(section, key, "-"),
                        "the snapshot reads a key as the file does");
    return 0;
}
