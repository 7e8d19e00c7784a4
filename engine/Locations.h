// Where Quarrow's programs find their files: one function for each, so every program agrees.
#pragma once

#include <string>

namespace quarrow {

// The user's home folder, without a trailing separator.
std::string HomeFolder();

// The settings file of the programs in this folder (ending in "/").
std::string SettingsFilePath(const std::string& executableFolder);

// The save folder that the main window offers: the settings' "IniParas"/"DefaultPath", or the
// home folder followed by "/dovrin".
std::string DefaultSaveFolder(const std::string& executableFolder);

// What the Options dialog shows when the settings name no default folder.
std::string OptionsDefaultFolder();

} // namespace quarrow
