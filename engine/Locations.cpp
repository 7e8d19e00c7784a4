// The home folder comes from HOME, as the desktop gives it, else from the user database.
#include "Locations.h"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

#include "ProfileFile.h"

namespace quarrow {

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

std::string SettingsFilePath(const std::string& executableFolder) {
    return executableFolder + "ini/config.ini";
}

std::string DefaultSaveFolder(const std::string& executableFolder) {
    return ProfileFile(SettingsFilePath(executableFolder))
        .ReadString("IniParas", "DefaultPath", HomeFolder() + "/dovrin");
}

std::string OptionsDefaultFolder() {
    return HomeFolder() + "/downloads";
}

} // namespace quarrow
