// The download task: range, names, tile addressing, the worker share rule and the files written
// when a task starts.
#include "engine/Unitclasstask.h"

#include <algorithm>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <sys/resource.h>

#include <gtest/gtest.h>

#include "geo/Commonfunc.h"
#include "base/Exception.h"
#include "engine/ProfileFile.h"
#include "tests/support/TempDir.h"

namespace {

using namespace std::chrono;
using quarrow::test::FolderEntries;
using quarrow::test::ReadFileBytes;
using quarrow::test::TempDir;
using quarrow::test::WriteFileBytes;

std::string PrintfEdge(double value) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, "%20.14f", value);
    return buffer;
}

std::string ExpectMessage(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& error) {
        return error.Message();
    }
    return "(no exception)";
}

// The task of the worked example: satellite, 116.3..116.5, 40..39.8, zoom 13.
class DownloadTaskTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
        setenv("TZ", "UTC0", 1);
        tzset();
        m_params->LeftLongitude = 116.3;
        m_params->RightLongitude = 116.5;
        m_params->TopLatitude = 40.0;
        m_params->BottomLatitude = 39.8;
        m_params->Zoom = 13;
        m_params->MapsType = 18;
        m_params->SavePath = m_dir.Path();
        m_params->ProjectName = "newtask.zav";
    }

    std::unique_ptr<DownloadTask> MakeTask() {
        auto task = std::make_unique<DownloadTask>(m_params);
        task->Now = [] { return sys_days{2024y / March / 5} + 12h + 34min + 56s; };
        return task;
    }

    static constexpr const char* NowText = "03/05/24 12:34:56";

    TempDir m_dir;
    std::shared_ptr<TaskParams> m_params = std::make_shared<TaskParams>();
};

TEST_F(DownloadTaskTest, WorkedExampleRangeAndEdges) {
    const auto task = MakeTask();
    EXPECT_EQ(task->MinX, 6742);
    EXPECT_EQ(task->MaxX, 6747);
    EXPECT_EQ(task->MinY, 3101);
    EXPECT_EQ(task->MaxY, 3107);
    EXPECT_EQ(task->TileCount, 42);
    EXPECT_EQ(task->LeftLongitudeDownload, 116.279296875);
    EXPECT_EQ(task->RightLongitudeDownload, 116.54296875);
    EXPECT_EQ(task->TopLatitudeDownload, TileYToLat(3101, 13));
    EXPECT_EQ(task->BottomLatitudeDownload, TileYToLat(3108, 13));
    EXPECT_NEAR(task->TopLatitudeDownload, 40.0107871, 1e-7);
    EXPECT_NEAR(task->BottomLatitudeDownload, 39.7747695, 1e-7);
}

TEST_F(DownloadTaskTest, KeepsTheParamsItWasGiven) {
    const auto task = MakeTask();
    EXPECT_EQ(task->Params.get(), m_params.get());
}

TEST_F(DownloadTaskTest, FileNamesAndTileFolder) {
    m_params->ProjectName = "alpha.zav";
    const auto task = MakeTask();
    const std::string& d = m_dir.Path();
    EXPECT_EQ(task->ProjectFile(), d + "alpha.zav");
    EXPECT_EQ(task->LogFile, d + "alpha_log.txt");
    EXPECT_EQ(task->FailedFile, d + "alpha_failed.ftl");
    EXPECT_EQ(task->ListFile, d + "alpha_list.txt");
    EXPECT_EQ(task->TileFolder, d + "alpha/");
    EXPECT_TRUE(std::filesystem::is_directory(task->TileFolder));
    EXPECT_EQ(FolderEntries(d), std::vector<std::string>{"alpha"}); // nothing else yet
}

TEST_F(DownloadTaskTest, OnlyTheFinalZavIsRemoved) {
    m_params->ProjectName = "a.b.zav";
    const auto task = MakeTask();
    EXPECT_EQ(task->TileFolder, m_dir.Path() + "a.b/");
    EXPECT_EQ(task->ListFile, m_dir.Path() + "a.b_list.txt");

    m_params->ProjectName = "x.zav.zav";
    EXPECT_EQ(MakeTask()->LogFile, m_dir.Path() + "x.zav_log.txt");
}

TEST_F(DownloadTaskTest, AnExistingTileFolderIsUsedAsItIs) {
    std::filesystem::create_directory(m_dir.Path() + "newtask");
    WriteFileBytes(m_dir.Path() + "newtask/zavs_1_1_13.png", "tile");
    const auto task = MakeTask();
    EXPECT_EQ(ReadFileBytes(task->TilePath(1, 1)), "tile");
}

TEST_F(DownloadTaskTest, TileFolderThatCannotBeCreated) {
    // The save folder is missing: only one level is ever created.
    m_params->SavePath = m_dir.Path() + "missing/";
    EXPECT_EQ(ExpectMessage([&] { MakeTask(); }),
              "Create directory " + m_dir.Path() + "missing/newtask/ Failed.");
    EXPECT_FALSE(std::filesystem::exists(m_dir.Path() + "missing"));

    // A file holds the folder's name.
    m_params->SavePath = m_dir.Path();
    WriteFileBytes(m_dir.Path() + "newtask", "");
    EXPECT_EQ(ExpectMessage([&] { MakeTask(); }),
              "Create directory " + m_dir.Path() + "newtask/ Failed.");
}

TEST_F(DownloadTaskTest, OneTileTask) {
    m_params->RightLongitude = m_params->LeftLongitude;
    m_params->BottomLatitude = m_params->TopLatitude;
    const auto task = MakeTask();
    EXPECT_EQ(task->TileCount, 1);
    EXPECT_EQ(task->MinX, task->MaxX);
    EXPECT_EQ(task->MinY, task->MaxY);
}

TEST_F(DownloadTaskTest, ZoomOutsideOneToEighteenIsRefusedFirst) {
    for (const int zoom : {0, 19, -1, 31, INT_MIN}) {
        m_params->Zoom = zoom;
        EXPECT_EQ(ExpectMessage([&] { MakeTask(); }), "Zoom level must be between 1 and 18.");
    }
    EXPECT_TRUE(FolderEntries(m_dir.Path()).empty());
    EXPECT_NO_THROW(quarrow::CheckZoomLevel(1));
    EXPECT_NO_THROW(quarrow::CheckZoomLevel(18));
}

TEST_F(DownloadTaskTest, TooManyTilesIsRefusedWithTheCount) {
    m_params->LeftLongitude = -180;
    m_params->RightLongitude = 180;
    m_params->TopLatitude = 85;
    m_params->BottomLatitude = -85;
    m_params->Zoom = 16;
    const long long columns = LonToTileX(180, 16) - LonToTileX(-180, 16) + 1;
    const long long rows = LatToTileY(-85, 16) - LatToTileY(85, 16) + 1;
    ASSERT_EQ(columns, 65537);
    EXPECT_EQ(ExpectMessage([&] { MakeTask(); }),
              "The area holds " + std::to_string(columns * rows) +
                  " tiles: the task is too large (at most 2147483647).");
    EXPECT_TRUE(FolderEntries(m_dir.Path()).empty());

    // One zoom lower the whole map fits.
    m_params->Zoom = 15;
    const auto task = MakeTask();
    EXPECT_EQ(task->TileCount, (LonToTileX(180, 15) - LonToTileX(-180, 15) + 1) *
                                   (LatToTileY(-85, 15) - LatToTileY(85, 15) + 1));
}

TEST_F(DownloadTaskTest, AbsurdCoordinatesAreRefusedWithoutOverflow) {
    m_params->LeftLongitude = -1e300;
    m_params->RightLongitude = 1e300;
    m_params->TopLatitude = 90;
    m_params->BottomLatitude = -90;
    EXPECT_EQ(ExpectMessage([&] { MakeTask(); }),
              "The area holds 18446744073709551616 tiles: the task is too large (at most "
              "2147483647).");

    m_params->LeftLongitude = 117;
    m_params->RightLongitude = 116;
    m_params->TopLatitude = 40;
    m_params->BottomLatitude = 39.8;
    EXPECT_EQ(ExpectMessage([&] { MakeTask(); }),
              "The area holds no tiles: the right longitude lies west of the left.");
}

struct AddressCase {
    int MapsType;
    int Zoom;
    int X;
    int Y;
    const char* FileName;
    const char* UrlPath;
};

TEST_F(DownloadTaskTest, TileAddresses) {
    const AddressCase cases[] = {
        {18, 13, 6742, 3101, "zavs_6742_3101_13.png",
         "/maptiler/v2/maptile/newest/satellite.day/13/6742/3101/256/png8"},
        {17, 1, 0, 0, "zavm_0_0_1.png", "/maptiler/v2/maptile/newest/normal.day/1/0/0/256/png8"},
        {19, 18, 215828, 99247, "zavt_215828_99247_18.png",
         "/maptiler/v2/maptile/newest/terrain.day/18/215828/99247/256/png8"},
        {17, 2, -1, 4, "zavm_-1_4_2.png", "/maptiler/v2/maptile/newest/normal.day/2/-1/4/256/png8"},
    };
    m_params->ServiceHost = "tiles.example:8080";
    for (const AddressCase& c : cases) {
        m_params->MapsType = c.MapsType;
        m_params->Zoom = c.Zoom;
        const auto task = MakeTask();
        EXPECT_EQ(task->TileFileName(c.X, c.Y), c.FileName);
        EXPECT_EQ(task->TilePath(c.X, c.Y), task->TileFolder + c.FileName);
        EXPECT_EQ(task->TileUrl(c.X, c.Y), std::string("http://tiles.example:8080") + c.UrlPath);
        EXPECT_EQ(task->TileExtension(), "png");
    }
}

TEST_F(DownloadTaskTest, OnlyNamesThatATaskGivesAreTileNames) {
    for (const int type : {17, 18, 19}) {
        m_params->MapsType = type;
        for (const auto& [x, y, zoom] : {std::tuple{0, 0, 1}, {-5, 2147483647, 18}}) {
            m_params->Zoom = zoom;
            EXPECT_TRUE(quarrow::IsTileFileName(MakeTask()->TileFileName(x, y)));
        }
    }
    for (const char* name : {"zavm_0_0_0.png", "zavm_0_0_19.png", "zavx_0_0_1.png",
                             "zavm_0_0_1.PNG", "zavm_0_0_1.png.sh", "zavm_0_0_1", "zavm_00_0_1.png",
                             "zavm_+1_0_1.png", "zavm_-0_0_1.png", "zavm_2147483648_0_1.png",
                             "zavm__0_1.png", "zavm_0_0_1_1.png", "../zavm_0_0_1.png", ""})
        EXPECT_FALSE(quarrow::IsTileFileName(name)) << name;
}

TEST_F(DownloadTaskTest, DefaultServiceIsTheLocalTileService) {
    EXPECT_EQ(MakeTask()->TileUrl(1, 2),
              "http://127.0.0.1:8642/maptiler/v2/maptile/newest/satellite.day/13/1/2/256/png8");
}

TEST_F(DownloadTaskTest, TilesAreNumberedInColumnOrder) {
    const auto task = MakeTask();
    EXPECT_EQ(task->TileSequenceNumber(6742, 3101), 1);
    EXPECT_EQ(task->TileSequenceNumber(6742, 3107), 7);
    EXPECT_EQ(task->TileSequenceNumber(6743, 3101), 8);
    EXPECT_EQ(task->TileSequenceNumber(6747, 3107), 42);
    // Far outside the range the number is clamped, never wrapped.
    EXPECT_EQ(task->TileSequenceNumber(INT_MAX, INT_MAX), INT_MAX);
    EXPECT_EQ(task->TileSequenceNumber(INT_MIN, 0), INT_MIN);
}

TEST_F(DownloadTaskTest, EightWorkersShareTheTiles) {
    std::vector<std::vector<int>> shares(8);
    for (int number = 1; number <= 42; ++number) {
        int owners = 0;
        for (int slot = 0; slot < 8; ++slot)
            if (DownloadTask::IsWorkersTile(number, 8, slot)) {
                shares[static_cast<std::size_t>(slot)].push_back(number);
                ++owners;
            }
        EXPECT_EQ(owners, 1) << number;
    }
    EXPECT_EQ(shares[1], (std::vector<int>{1, 9, 17, 25, 33, 41}));
    EXPECT_EQ(shares[0], (std::vector<int>{8, 16, 24, 32, 40}));
    EXPECT_EQ(shares[7], (std::vector<int>{7, 15, 23, 31, 39}));
}

TEST_F(DownloadTaskTest, ResumePointIsTheNumberOfTheResumeTile) {
    auto task = MakeTask();
    task->ResumeX[1] = 6745;
    task->ResumeY[1] = 3104;
    task->ResumeX[2] = 6745; // a row of 0 means no resume tile
    EXPECT_EQ(task->ResumePoint(1), 3 * 7 + 3 + 1);
    EXPECT_EQ(task->ResumePoint(0), 0);
    EXPECT_EQ(task->ResumePoint(2), 0);
    EXPECT_EQ(task->ResumePoint(-1), 0);
    EXPECT_EQ(task->ResumePoint(16), 0);
}

TEST_F(DownloadTaskTest, NewTaskHasNoResumePositions) {
    const auto task = MakeTask();
    for (std::size_t i = 0; i < 16; ++i) {
        EXPECT_EQ(task->ResumeX[i], 0);
        EXPECT_EQ(task->ResumeY[i], 0);
    }
}

TEST_F(DownloadTaskTest, ResumedTaskReadsThePositionsOfItsProjectFile) {
    MakeTask()->WriteProjectFile();
    ProfileFile project(m_dir.Path() + "newtask.zav");
    project.WriteInteger("THREADS", "T2X", 6745);
    project.WriteInteger("THREADS", "T2Y", 3104);
    project.WriteString("threads", "t3x", "abc");
    project.WriteInteger("THREADS", "T3Y", 3102);
    project.WriteString("THREADS", "T8X", "$10");
    project.WriteString("THREADS", "T8Y", "12");

    m_params->Resume = true;
    const auto task = MakeTask();
    EXPECT_EQ(task->ResumeX[1], 6745);
    EXPECT_EQ(task->ResumeY[1], 3104);
    EXPECT_EQ(task->ResumeX[0], 0); // empty values
    EXPECT_EQ(task->ResumeY[0], 0);
    EXPECT_EQ(task->ResumeX[2], 0); // not a number
    EXPECT_EQ(task->ResumeY[2], 3102);
    EXPECT_EQ(task->ResumeX[7], 16);
    EXPECT_EQ(task->ResumeY[7], 12);
}

TEST_F(DownloadTaskTest, ResumeReadsOnlyTheSlotsOfTheThreadCount) {
    WriteFileBytes(m_dir.Path() + "newtask.zav",
                   "[THREADS]\r\nT1X=5\r\nT1Y=6\r\nT2X=7\r\nT2Y=8\r\n");
    m_params->Resume = true;
    m_params->ThreadCount = 1;
    const auto task = MakeTask();
    EXPECT_EQ(task->ResumeX[0], 5);
    EXPECT_EQ(task->ResumeY[0], 6);
    EXPECT_EQ(task->ResumeX[1], 0);
}

TEST_F(DownloadTaskTest, ResumeWithoutAProjectFileStartsFromTheBeginning) {
    m_params->Resume = true;
    const auto task = MakeTask();
    for (std::size_t i = 0; i < 8; ++i)
        EXPECT_EQ(task->ResumeX[i], 0);
}

std::string ThreadLines() {
    std::string text;
    for (int n = 1; n <= 8; ++n)
        text += "T" + std::to_string(n) + "X=\r\nT" + std::to_string(n) + "Y=\r\n";
    return text;
}

TEST_F(DownloadTaskTest, ProjectFileOfTheWorkedExample) {
    MakeTask()->WriteProjectFile();
    EXPECT_EQ(ReadFileBytes(m_dir.Path() + "newtask.zav"),
              "[MapsType]\r\nMapsType=18\r\n\r\n"
              "[AREA]\r\nLeftLongitude=116.3\r\nRightLongitude=116.5\r\nTopLatitude=40\r\n"
              "BottomLatitude=39.8\r\n\r\n"
              "Left_Longitude_download=116.279296875\r\nRight_Longitude_download=116.54296875\r\n"
              "Top_Latitude_download=40.0107871404655\r\n"
              "Bottom_Latitude_download=39.7747694852955\r\n\r\n"
              "[Zoom]\r\nZoom=13\r\n\r\n"
              "[XY]\r\nMinX=6742\r\nMinY=3101\r\nMaxX=6747\r\nMaxY=3107\r\n\r\n"
              "[THREADS]\r\nThreadCount=8\r\n" +
                  ThreadLines() + "\r\n");
}

TEST_F(DownloadTaskTest, ProjectFileTakesTheLoweredThreadCount) {
    m_params->RightLongitude = 116.33; // two columns, one row
    m_params->BottomLatitude = 40.0;
    const auto task = MakeTask();
    ASSERT_EQ(task->TileCount, 2);
    m_params->ThreadCount = task->TileCount; // as the Start action does
    WriteFileBytes(task->ProjectFile(), "an older project\r\n");
    task->WriteProjectFile();
    const std::string text = ReadFileBytes(task->ProjectFile());
    EXPECT_NE(text.find("\r\n[THREADS]\r\nThreadCount=2\r\n" + ThreadLines() + "\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("older"), std::string::npos);
}

TEST_F(DownloadTaskTest, ResumedTaskLeavesProjectListAndFailedFilesAlone) {
    const std::string project = "[THREADS]\nT1X=6742\r\nT1Y=3102\r\n";
    WriteFileBytes(m_dir.Path() + "newtask.zav", project);
    WriteFileBytes(m_dir.Path() + "newtask_list.txt", "old list");
    WriteFileBytes(m_dir.Path() + "newtask_failed.ftl", "a|b\r\n");
    m_params->Resume = true;
    const auto task = MakeTask();
    task->WriteProjectFile();
    task->WriteListFile();
    task->CreateFailedFile();
    EXPECT_EQ(ReadFileBytes(m_dir.Path() + "newtask.zav"), project);
    EXPECT_EQ(ReadFileBytes(m_dir.Path() + "newtask_list.txt"), "old list");
    EXPECT_EQ(ReadFileBytes(m_dir.Path() + "newtask_failed.ftl"), "a|b\r\n");
}

TEST_F(DownloadTaskTest, NewTaskEmptiesTheFailedFile) {
    WriteFileBytes(m_dir.Path() + "newtask_failed.ftl", "a|b\r\n");
    MakeTask()->CreateFailedFile();
    EXPECT_TRUE(std::filesystem::exists(m_dir.Path() + "newtask_failed.ftl"));
    EXPECT_EQ(std::filesystem::file_size(m_dir.Path() + "newtask_failed.ftl"), 0u);
}

const std::string ListHeading =
    "ImageFileName    Left_Edge_Longitude    Right_Edge_Longitude   Top_Edge_Latitude      "
    "Bottom_Edge_Latitude";

TEST_F(DownloadTaskTest, ListFileOfTheWorkedExample) {
    const auto task = MakeTask();
    task->WriteListFile();

    std::string expected = ListHeading + "\r\n";
    for (int x = 6742; x <= 6747; ++x)
        for (int y = 3101; y <= 3107; ++y)
            expected += "zavs_" + std::to_string(x) + "_" + std::to_string(y) +
                        "_13.png: " + PrintfEdge(TileXToLon(x, 13)) + " " +
                        PrintfEdge(TileXToLon(x + 1, 13)) + " " + PrintfEdge(TileYToLat(y, 13)) +
                        " " + PrintfEdge(TileYToLat(y + 1, 13)) + "\r\n";
    const std::string actual = ReadFileBytes(task->ListFile);
    EXPECT_EQ(actual, expected);

    const std::string first = actual.substr(ListHeading.size() + 2, 106);
    const std::string start = "zavs_6742_3101_13.png:   116.27929687500000   116.32324218750000 ";
    EXPECT_EQ(first.substr(0, start.size()), start);
    EXPECT_EQ(actual.substr(ListHeading.size() + 2 + 106, 2), "\r\n");
}

TEST_F(DownloadTaskTest, ListLineOfAWestEdgeAtMinus180) {
    m_params->LeftLongitude = -180;
    m_params->RightLongitude = -180;
    m_params->TopLatitude = 0;
    m_params->BottomLatitude = 0;
    m_params->Zoom = 1;
    const auto task = MakeTask();
    task->WriteListFile();
    EXPECT_EQ(ReadFileBytes(task->ListFile),
              ListHeading + "\r\n" + "zavs_0_1_1.png: " + " -180.00000000000000" + " " +
                  "    0.00000000000000" + " " + "    0.00000000000000" + " " +
                  PrintfEdge(TileYToLat(2, 1)) + "\r\n");
}

TEST_F(DownloadTaskTest, OneTileTaskListsTwoLines) {
    m_params->RightLongitude = m_params->LeftLongitude;
    m_params->BottomLatitude = m_params->TopLatitude;
    const auto task = MakeTask();
    task->WriteListFile();
    const std::string text = ReadFileBytes(task->ListFile);
    EXPECT_EQ(text.substr(0, ListHeading.size() + 2), ListHeading + "\r\n");
    EXPECT_EQ(text.size(), ListHeading.size() + 2 + 106 + 2);
}

// The message of WriteListFile while files may grow to `limit` bytes at most; "" when it
// succeeds.
std::string WriteListWithFileSizeLimit(const DownloadTask& task, rlim_t limit) {
    rlimit saved{};
    if (::getrlimit(RLIMIT_FSIZE, &saved) != 0)
        return "getrlimit failed";
    const auto savedHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = limit;
    std::string message = "setrlimit failed";
    if (::setrlimit(RLIMIT_FSIZE, &small) == 0)
        message = ExpectMessage([&] { task.WriteListFile(); });
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, savedHandler);
    return message;
}

// Over an earlier list, a list write cut off by the limit fails with the file's name and leaves
// the earlier list as it was and no temporary file in the folder.
void ExpectCutListWriteKeepsTheEarlier(const DownloadTask& task, rlim_t limit,
                                       const std::string& folder) {
    WriteFileBytes(task.ListFile, "earlier list\r\n");
    EXPECT_EQ(WriteListWithFileSizeLimit(task, limit), "Unable to write to " + task.ListFile);
    EXPECT_EQ(ReadFileBytes(task.ListFile), "earlier list\r\n");
    EXPECT_EQ(FolderEntries(folder), (std::vector<std::string>{"newtask", "newtask_list.txt"}));
}

// A list that cannot be written whole leaves the earlier list as it was and no temporary file.
TEST_F(DownloadTaskTest, FailedListWriteKeepsTheEarlierList) {
    const auto task = MakeTask();
    // The list of 42 tiles is about 4.6 kB.
    ExpectCutListWriteKeepsTheEarlier(*task, 1000, m_dir.Path());
}

// A list of several write blocks is written on a second thread: the same bytes; and a write that
// fails there, after the first block, still leaves the earlier list and no temporary file.
TEST_F(DownloadTaskTest, ListOfSeveralBlocks) {
    m_params->Zoom = 18;
    const auto task = MakeTask();
    ASSERT_GT(task->TileCount, 25000); // about 3 MB
    std::string expected = ListHeading + "\r\n";
    for (int x = task->MinX; x <= task->MaxX; ++x)
        for (int y = task->MinY; y <= task->MaxY; ++y)
            expected += "zavs_" + std::to_string(x) + "_" + std::to_string(y) +
                        "_18.png: " + PrintfEdge(TileXToLon(x, 18)) + " " +
                        PrintfEdge(TileXToLon(x + 1, 18)) + " " + PrintfEdge(TileYToLat(y, 18)) +
                        " " + PrintfEdge(TileYToLat(y + 1, 18)) + "\r\n";
    task->WriteListFile();
    const std::string actual = ReadFileBytes(task->ListFile);
    EXPECT_EQ(actual.size(), expected.size());
    EXPECT_TRUE(actual == expected); // not printed: megabytes

    ExpectCutListWriteKeepsTheEarlier(*task, 1500000, m_dir.Path());
}

TEST_F(DownloadTaskTest, WriteErrorsNameTheFile) {
    const auto task = MakeTask();
    std::filesystem::create_directory(task->LogFile); // a folder where the file should be
    std::filesystem::create_directory(task->ListFile);
    std::filesystem::create_directory(task->ProjectFile());
    std::filesystem::create_directory(task->FailedFile);
    EXPECT_EQ(ExpectMessage([&] { task->WriteProjectFile(); }),
              "Unable to write to " + task->ProjectFile());
    EXPECT_EQ(ExpectMessage([&] { task->WriteListFile(); }),
              "Unable to write to " + task->ListFile);
    EXPECT_EQ(ExpectMessage([&] { task->WriteLogHeader(); }),
              "Unable to write to " + task->LogFile);
    EXPECT_EQ(ExpectMessage([&] { task->CreateFailedFile(); }),
              "Unable to write to " + task->FailedFile);
}

std::string LogTail() {
    return "Left Longitude  input= 116.3\r\n"
           "Right Longitude input= 116.5\r\n"
           "Top Latitude    input= 40\r\n"
           "Bottom Latitude input= 39.8\r\n"
           "\r\n"
           "MinX = 6742\r\nMinY = 3101\r\nMaxX = 6747\r\nMaxY = 3107\r\n"
           "\r\n"
           "Left Longitude  download=116.279296875\r\n"
           "Right Longitude download=116.54296875\r\n"
           "Top Latitude    download=40.0107871404655\r\n"
           "Bottom Latitude download=39.7747694852955\r\n"
           "\r\n";
}

TEST_F(DownloadTaskTest, LogHeadWithoutProxy) {
    const auto task = MakeTask();
    task->WriteLogHeader();
    const std::string& d = m_dir.Path();
    EXPECT_EQ(ReadFileBytes(task->LogFile),
              "Project: " + d + "newtask.zav\r\n" + "Now time is:" + NowText + "\r\n\r\n" +
                  "[MapsType]\r\nMapsType=18\r\n\r\n" + LogTail() +
                  "All images' scope information are saved to " + d + "newtask_list.txt\r\n\r\n" +
                  "Total count of images would be downloaded: 42\r\n\r\n" +
                  "Download threads count: 8\r\n\r\n" + "Zoom level: 13\r\n\r\n" + "path: " + d +
                  "\r\n\r\n" + "Start downloading...\r\n" + std::string(34, '~') + "\r\n");
}

TEST_F(DownloadTaskTest, LogHeadWithProxyHidesThePassword) {
    m_params->UseProxy = true;
    m_params->ProxyServer = "proxy.example";
    m_params->ProxyPort = "3128";
    m_params->ProxyUsername = "ann";
    m_params->ProxyPassword = "secret";
    auto task = MakeTask();
    task->WriteLogHeader();
    const std::string text = ReadFileBytes(task->LogFile);
    EXPECT_NE(text.find("MapsType=18\r\n\r\nUsing Proxy:\r\nProxy Server:proxy.example\r\n"
                        "Proxy Port:3128\r\nProxyUsername:ann\r\nProxyPassword:********\r\n\r\n"
                        "Left Longitude  input= 116.3\r\n"),
              std::string::npos);
    EXPECT_EQ(text.find("secret"), std::string::npos);

    m_params->ProxyPassword.clear();
    task->WriteLogHeader();
    EXPECT_NE(ReadFileBytes(task->LogFile).find("\r\nProxyUsername:ann\r\nProxyPassword:\r\n\r\n"),
              std::string::npos);
}

TEST_F(DownloadTaskTest, LogHeadShowsTheLoweredThreadCount) {
    const auto task = MakeTask();
    m_params->ThreadCount = 3;
    task->WriteLogHeader();
    EXPECT_NE(ReadFileBytes(task->LogFile).find("\r\nDownload threads count: 3\r\n"),
              std::string::npos);
}

TEST_F(DownloadTaskTest, ResumedLogGainsExactlyThreeLines) {
    const std::string earlier = "first run\r\nline two\r\n";
    WriteFileBytes(m_dir.Path() + "newtask_log.txt", earlier);
    m_params->Resume = true;
    const auto task = MakeTask();
    task->WriteLogHeader();
    EXPECT_EQ(ReadFileBytes(task->LogFile), earlier + std::string(44, '-') +
                                                "\r\nLog continue...\r\nNow time is:" + NowText +
                                                "\r\n");
}

TEST_F(DownloadTaskTest, ResumedTaskWithoutItsLogFails) {
    m_params->Resume = true;
    const auto task = MakeTask();
    EXPECT_EQ(ExpectMessage([&] { task->WriteLogHeader(); }), "Unable to read " + task->LogFile);
    EXPECT_FALSE(std::filesystem::exists(task->LogFile));
}

} // namespace
