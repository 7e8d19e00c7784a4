// Where Quarrow's programs find their files: one function for each, so every program agrees.
#pragma once

#include <string>

namespace quarrow {

// The folder of the running program, ending in "/"; "./" when the system does not tell.
std::string RunningProgramFolder();

// The user's home folder, without a trailing separator.
std::string HomeFolder();

// Whether the programs in this folder (ending in "/") are installed ones: they cannot write to
// it, or it has the installed layout (no blank images beside the programs, the data folder
// <prefix>/share/quarrow/ beside <prefix>/bin/). Others keep everything beside themselves.
bool IsInstalled(const std::string& executableFolder);

// The folder of the settings file and the sources file, ending in "/": "ini/" beside the
// programs, or for installed ones the user's $XDG_CONFIG_HOME/quarrow/ (~/.config/quarrow/ when
// the variable is not set), made with the installed default settings when it has none.
std::string SettingsFolder(const std::string& executableFolder);

// The folder of the manual ("help/") and the blank images ("blankimg/"), ending in "/": the
// programs' own, or the installed data folder.
std::string DataFolder(const std::string& executableFolder);

// The blank image that stands for a missing tile of this extension ("png", "jpg" or "webp").
std::string BlankImagePath(const std::string& executableFolder, const std::string& extension);

// The settings file of the programs in this folder (ending in "/").
std::string SettingsFilePath(const std::string& executableFolder);

// The save folder that the main window offers: the settings' "IniParas"/"DefaultPath", or the
// home folder followed by "/dovrin".
std::string DefaultSaveFolder(const std::string& executableFolder);

// What the Options dialog shows when the settings name no default folder.
std::string OptionsDefaultFolder();

} // namespace quarrow
