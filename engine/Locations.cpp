// The home folder comes from HOME, as the desktop gives it, else from the user database.
#include "Locations.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

#include "ProfileFile.h"

namespace quarrow {

std::string RunningProgramFolder() {
    std::error_code ec;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec || !program.has_parent_path())
        return "./";
    std::string folder = program.parent_path().string();
    if (folder.empty() || folder.back() != '/')
        folder += '/';
    return folder;
}

std::string HomeFolder() {
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && *variable)
        home = variable;
    else if (const passwd* user = ::getpwuid(::getuid()); user && user->pw_dir)
        home = user->pw_dir;
    else
        home = "/";
    while (home.size() > 1 && home.back() == '/')
        home.pop_back();
    return home;
}

namespace {

std::string InstalledDataFolder(const std::string& executableFolder) {
    return (std::filesystem::path(executableFolder) / ".." / "share" / "quarrow")
               .lexically_normal()
               .string() +
           "/";
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

} // namespace

bool IsInstalled(const std::string& executableFolder) {
    if (::access(executableFolder.c_str(), W_OK) != 0 && Exists(executableFolder))
        return true;
    return !Exists(executableFolder + "blankimg") &&
           Exists(InstalledDataFolder(executableFolder) + "blankimg");
}

std::string SettingsFolder(const std::string& executableFolder) {
    if (!IsInstalled(executableFolder))
        return executableFolder + "ini/";
    std::string config;
    if (const char* variable = std::getenv("XDG_CONFIG_HOME"); variable && *variable == '/')
        config = variable;
    else
        config = HomeFolder() + "/.config";
    const std::string folder = config + "/quarrow/";
    const std::string settings = folder + "config.ini";
    if (!Exists(settings)) {
        // The first run: the installed defaults, which the user's changes then build on.
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
        std::filesystem::copy_file(InstalledDataFolder(executableFolder) + "ini/config.ini",
                                   settings, ec);
    }
    return folder;
}

std::string DataFolder(const std::string& executableFolder) {
    return IsInstalled(executableFolder) ? InstalledDataFolder(executableFolder) : executableFolder;
}

std::string BlankImagePath(const std::string& executableFolder, const std::string& extension) {
    return DataFolder(executableFolder) + "blankimg/blank." + extension;
}

std::string SettingsFilePath(const std::string& executableFolder) {
    return SettingsFolder(executableFolder) + "config.ini";
}

std::string DefaultSaveFolder(const std::string& executableFolder) {
    return ProfileFile(SettingsFilePath(executableFolder))
        .ReadString("IniParas", "DefaultPath", HomeFolder() + "/dovrin");
}

std::string OptionsDefaultFolder() {
    return HomeFolder() + "/downloads";
}

} // namespace quarrow
