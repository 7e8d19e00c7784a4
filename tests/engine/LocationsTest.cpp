// Where the programs keep their files: beside themselves in a build, in the user's config folder
// and the installed data folder when installed.
#include "engine/Locations.h"

#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "engine/SourcesFile.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
namespace fs = std::filesystem;

TEST(Locations, ABuildKeepsItsFilesAnInstallUsesTheUsersConfigAndTheDataFolder) {
    TempDir root;
    // A build: the blank images beside the programs.
    const std::string build = root.Path() + "build/app/";
    fs::create_directories(build + "blankimg");
    EXPECT_FALSE(IsInstalled(build));
    EXPECT_EQ(build + "ini/config.ini", SettingsFilePath(build));
    EXPECT_EQ(build + "ini/sources.ini", SourcesFilePath(build));
    EXPECT_EQ(build, DataFolder(build));

    // An install: programs in <prefix>/bin, data in <prefix>/share/quarrow.
    const std::string bin = root.Path() + "usr/bin/";
    const std::string data = root.Path() + "usr/share/quarrow/";
    fs::create_directories(bin);
    fs::create_directories(data + "blankimg");
    fs::create_directories(data + "ini");
    WriteFileBytes(data + "ini/config.ini", "[Service]\r\nHost=127.0.0.1:8642\r\n");
    const char* old = std::getenv("XDG_CONFIG_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_CONFIG_HOME", (root.Path() + "home/.config").c_str(), 1);
    EXPECT_TRUE(IsInstalled(bin));
    EXPECT_EQ(data, DataFolder(bin));
    const std::string config = root.Path() + "home/.config/quarrow/";
    EXPECT_EQ(config + "config.ini", SettingsFilePath(bin));
    EXPECT_EQ(config + "sources.ini", SourcesFilePath(bin));
    // Made from the installed defaults on the first run, the user's own after that.
    EXPECT_EQ("[Service]\r\nHost=127.0.0.1:8642\r\n", ReadFileBytes(config + "config.ini"));
    WriteFileBytes(config + "config.ini", "[Service]\r\nHost=tiles.example\r\n");
    EXPECT_EQ(config + "config.ini", SettingsFilePath(bin));
    EXPECT_EQ("[Service]\r\nHost=tiles.example\r\n", ReadFileBytes(config + "config.ini"));
    if (old)
        ::setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

} // namespace
} // namespace quarrow
