// Profile files: reading by the lenient rules, writing that touches one line only.
#include "engine/ProfileFile.h"

#include <climits>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "base/Exception.h"
#include "tests/support/TempDir.h"

namespace {

using quarrow::test::ReadFileBytes;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;

class ProfileFileTest : public ::testing::Test {
protected:
    ProfileFile WithContent(const std::string& bytes) {
        WriteFileBytes(m_path, bytes);
        return ProfileFile(m_path);
    }
    std::string Bytes() const { return ReadFileBytes(m_path); }

    TempDir m_dir;
    std::string m_path = m_dir.Path() + "config.ini";
};

struct IntegerCase {
    const char* Value;
    int Expected;
};

constexpr int Default = -99;

TEST_F(ProfileFileTest, IntegerConversion) {
    const IntegerCase cases[] = {
        {"12", 12},
        {" 12", 12},
        {"12 ", 12},
        {"+5", 5},
        {"-7", -7},
        {"007", 7},
        {"0000000000000000012", 12},
        {"$1F", 31},
        {"$1f", 31},
        {"0x1f", 31},
        {"0X1F", 31},
        {"0x1", 1},
        {"-$10", -16},
        {"2147483647", INT_MAX},
        {"-2147483648", INT_MIN},
        {"$7FFFFFFF", INT_MAX},
        {"$80000000", INT_MIN},
        {"$FFFFFFFF", -1},
        {"0", 0},
        {"-0", 0},
        // Everything below does not convert and gives the default.
        {"", Default},
        {"abc", Default},
        {"12abc", Default},
        {"1 2", Default},
        {"- 5", Default},
        {"1.5", Default},
        {"+", Default},
        {"-", Default},
        {"$", Default},
        {"0x", Default},
        {"$G", Default},
        {"0x1g", Default},
        {"x1F", Default},
        {"2147483648", Default},
        {"-2147483649", Default},
        {"99999999999999999999", Default},
        {"$100000000", Default},
    };
    for (const IntegerCase& c : cases) {
        const ProfileFile file = WithContent(std::string("[S]\r\nK=") + c.Value + "\r\n");
        EXPECT_EQ(file.ReadInteger("S", "K", Default), c.Expected) << '"' << c.Value << '"';
    }
}

TEST_F(ProfileFileTest, SectionsAndKeysIgnoreLetterCase) {
    const ProfileFile file = WithContent("[Proxy]\r\nUseProxy=1\r\nProxyServer=host\r\n");
    EXPECT_EQ(file.ReadInteger("PROXY", "useproxy", 0), 1);
    EXPECT_EQ(file.ReadString("proxy", "PROXYSERVER", ""), "host");
}

TEST_F(ProfileFileTest, ValueIsEverythingAfterTheFirstEqualsTrimmed) {
    const ProfileFile file =
        WithContent("[S]\r\n  Key  =  a = b  \r\nTab=\tx\t\r\nEmpty=\r\nBlank=   \r\n");
    EXPECT_EQ(file.ReadString("S", "Key", "d"), "a = b");
    EXPECT_EQ(file.ReadString("S", "Tab", "d"), "x");
    EXPECT_EQ(file.ReadString("S", "Empty", "d"), "");
    EXPECT_EQ(file.ReadString("S", "Blank", "d"), "");
}

TEST_F(ProfileFileTest, MissingFileSectionOrKeyGivesTheDefault) {
    const ProfileFile missing(m_dir.Path() + "none.ini");
    EXPECT_EQ(missing.ReadString("S", "K", "dflt"), "dflt");
    EXPECT_EQ(missing.ReadInteger("S", "K", 100), 100);
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "none.ini"));

    const ProfileFile file = WithContent("[S]\r\nK=v\r\n[T]\r\n");
    EXPECT_EQ(file.ReadString("X", "K", "dflt"), "dflt");
    EXPECT_EQ(file.ReadString("S", "L", "dflt"), "dflt");
    EXPECT_EQ(file.ReadString("T", "K", "dflt"), "dflt"); // a key of another section
}

TEST_F(ProfileFileTest, OnlyTheFirstSectionOfANameCounts) {
    const ProfileFile file = WithContent("[S]\r\nA=1\r\n[s]\r\nA=2\r\nB=3\r\n");
    EXPECT_EQ(file.ReadInteger("S", "A", 0), 1);
    EXPECT_EQ(file.ReadInteger("S", "B", 0), 0);
    // Unless asked for any section of the name: the first that holds the key.
    EXPECT_EQ(file.ReadStringInAnySection("S", "A", ""), "1");
    EXPECT_EQ(file.ReadStringInAnySection("S", "B", ""), "3");
    const ProfileFile apart = WithContent("[AREA]\r\nX=1\r\n[T]\r\nF=t\r\n[Area]\r\nF=a\r\n");
    EXPECT_EQ(apart.ReadStringInAnySection("Area", "F", ""), "a");
}

TEST_F(ProfileFileTest, ForeignLineEndsAndOddLinesAreRead) {
    const ProfileFile file = WithContent("; comment\n[ S ]\nno equals here\r\n\r\nK=v\rL=w");
    EXPECT_EQ(file.ReadString("S", "K", ""), "v");
    EXPECT_EQ(file.ReadString("S", "L", ""), "w");
    EXPECT_EQ(file.ReadString("S", "no equals here", "d"), "d");
}

TEST_F(ProfileFileTest, ByteOrderMarkBeforeTheFirstSectionIsSkippedAndKept) {
    ProfileFile file = WithContent("\xEF\xBB\xBF[Proxy]\r\nProxyServer=host\r\n");
    EXPECT_EQ(file.ReadString("Proxy", "ProxyServer", ""), "host");
    file.WriteString("Proxy", "ProxyPort", "8080");
    EXPECT_EQ(Bytes(), "\xEF\xBB\xBF[Proxy]\r\nProxyServer=host\r\nProxyPort=8080\r\n");
}

TEST_F(ProfileFileTest, TextIsCutAt2047Characters) {
    const std::string longValue(3000, 'v');
    const ProfileFile file =
        WithContent("[S]\r\nK=" + longValue + "\r\nM=" + std::string(2047, 'm') + "\r\n");
    EXPECT_EQ(file.ReadString("S", "K", ""), std::string(2047, 'v'));
    EXPECT_EQ(file.ReadString("S", "M", ""), std::string(2047, 'm'));
}

TEST_F(ProfileFileTest, WriteCreatesTheFileAndSections) {
    ProfileFile file(m_path);
    file.WriteString("IniParas", "DefaultPath", "c:\\downloads");
    file.WriteInteger("Proxy", "UseProxy", 0);
    file.WriteString("Proxy", "ProxyServer", "");
    EXPECT_EQ(
        Bytes(),
        "[IniParas]\r\nDefaultPath=c:\\downloads\r\n[Proxy]\r\nUseProxy=0\r\nProxyServer=\r\n");
    EXPECT_EQ(file.ReadString("iniparas", "defaultpath", ""), "c:\\downloads");
}

TEST_F(ProfileFileTest, WriteReplacesOneLineAndKeepsEveryOtherByteForByte) {
    const std::string before = "; kept \t\n[A]\nx = 1\r\n\r\n[B]\r\n  Key = old value \r\n"
                               "odd line\ry=2\n\n";
    ProfileFile file = WithContent(before);
    file.WriteString("b", "KEY", "new");
    std::string expected = before;
    expected.replace(expected.find("  Key = old value "), 18, "KEY=new");
    EXPECT_EQ(Bytes(), expected);
}

TEST_F(ProfileFileTest, NewKeyGoesAfterTheLastLineOfItsSection) {
    ProfileFile file = WithContent("[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n");
    file.WriteInteger("A", "z", 3);
    EXPECT_EQ(Bytes(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\n");
    file.WriteInteger("B", "w", -4);
    EXPECT_EQ(Bytes(), "[A]\r\nx=1\r\nz=3\r\n\r\n[B]\r\ny=2\r\nw=-4\r\n");
}

TEST_F(ProfileFileTest, NewKeyInTheFirstOfTwoSectionsOfOneName) {
    ProfileFile file = WithContent("[S]\r\nA=1\r\n[S]\r\nB=2\r\n");
    file.WriteString("S", "B", "3");
    EXPECT_EQ(Bytes(), "[S]\r\nA=1\r\nB=3\r\n[S]\r\nB=2\r\n");
}

TEST_F(ProfileFileTest, FileWithoutFinalLineEndGetsOneFirst) {
    ProfileFile file = WithContent("[A]\r\nx=1");
    file.WriteString("A", "y", "2");
    EXPECT_EQ(Bytes(), "[A]\r\nx=1\r\ny=2\r\n");

    file = WithContent("x=1");
    file.WriteString("B", "k", "v");
    EXPECT_EQ(Bytes(), "x=1\r\n[B]\r\nk=v\r\n");

    file = WithContent("[A]\r\nk=old");
    file.WriteString("A", "k", "new");
    EXPECT_EQ(Bytes(), "[A]\r\nk=new\r\n");
}

TEST_F(ProfileFileTest, WrittenValueIsReadBack) {
    ProfileFile file(m_path);
    file.WriteString("S", "K", "  padded  ");
    EXPECT_EQ(Bytes(), "[S]\r\nK=  padded  \r\n");
    EXPECT_EQ(file.ReadString("S", "K", ""), "padded");
    file.WriteInteger("S", "N", INT_MIN);
    EXPECT_EQ(file.ReadInteger("S", "N", 0), INT_MIN);
}

// Several values in one rewrite give the bytes of writing them one at a time: a replaced line, a
// key new to its section, a key written twice and a section that is not there yet.
TEST_F(ProfileFileTest, SeveralValuesAtOnceWriteWhatOneByOneWould) {
    const std::string before = "[THREADS]\r\nThreadCount=8\r\nT1X=\r\nT1Y=5\r\n\r\n[Other]\r\nk=v";
    const std::vector<std::pair<std::string, int>> values{
        {"T1X", 6745}, {"t1y", 3104}, {"T2X", -1}, {"T1X", 6746}};
    for (const char* section : {"THREADS", "New"}) {
        SCOPED_TRACE(section);
        ProfileFile file = WithContent(before);
        for (const auto& [key, value] : values)
            file.WriteInteger(section, key, value);
        const std::string oneByOne = Bytes();
        file = WithContent(before);
        file.WriteIntegers(section, values);
        EXPECT_EQ(Bytes(), oneByOne);
    }
    EXPECT_THROW(ProfileFile(m_dir.Path() + "missing/p.zav").WriteIntegers("S", {{"k", 1}}),
                 quarrow::Exception);
}

TEST_F(ProfileFileTest, WriteIntoAMissingFolderFailsWithoutCreatingIt) {
    const std::string path = m_dir.Path() + "ini/config.ini";
    ProfileFile file(path);
    try {
        file.WriteString("S", "K", "v");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Unable to write to " + path);
    }
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "ini"));
}

TEST_F(ProfileFileTest, WriteToAReadOnlyFileFailsAndKeepsIt) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    ProfileFile file = WithContent("[S]\r\nK=1\r\n");
    std::filesystem::permissions(m_path, std::filesystem::perms::owner_read);
    try {
        file.WriteString("S", "K", "2");
        FAIL() << "no exception";
    } catch (const Exception& error) {
        EXPECT_EQ(error.Message(), "Unable to write to " + m_path);
    }
    EXPECT_EQ(Bytes(), "[S]\r\nK=1\r\n");
}

TEST_F(ProfileFileTest, WriteLeavesNoTemporaryFileBehind) {
    ProfileFile file = WithContent("[S]\r\nK=1\r\n");
    file.WriteString("S", "K", "2");
    int entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(m_dir.Path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

} // namespace
