#include "FuzzSupport.h"

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace quarrow::fuzz {

const std::string& ScratchFolder() {
    // Never destroyed, so that the removal at exit still finds it.
    static const std::string* const folder = [] {
        std::error_code ec;
        std::filesystem::path base = "/dev/shm";
        if (!std::filesystem::is_directory(base, ec))
            base = std::filesystem::temp_directory_path();
        const std::filesystem::path own = base / ("quarrow-fuzz-" + std::to_string(::getpid()));
        std::filesystem::create_directory(own, ec);
        if (ec)
            Broken("the scratch folder cannot be made");
        auto* made = new std::string(own.string() + "/");
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchFolder(), ignored);
        });
        return made;
    }();
    return *folder;
}

void WriteBytes(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        Broken("a scratch file cannot be written");
}

std::vector<std::string_view> SplitFields(const std::uint8_t* data, std::size_t size,
                                          std::size_t count) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::vector<std::string_view> fields;
    while (fields.size() + 1 < count) {
        const std::size_t nul = rest.find('\0');
        if (nul == std::string_view::npos)
            break;
        fields.push_back(rest.substr(0, nul));
        rest.remove_prefix(nul + 1);
    }
    fields.push_back(rest);
    fields.resize(count);
    return fields;
}

} // namespace quarrow::fuzz
