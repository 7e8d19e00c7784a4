// quarrow-batch as a process against the local tile service: its mistakes and refusals, a dry
// run, a task stopped by Ctrl-C and resumed in the window, files equal to the window's, and
// failed tiles.
#include <QApplication>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QPlainTextEdit>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "app/Unit1.h"
#include "engine/ProfileFile.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"
#include "tests/app/RecordingDialogs.h"
#include "tests/support/ProgramRun.h"
#include "tests/support/TempDir.h"
#include "tools/tileservice/TileService.h"

namespace quarrow {
namespace {

using test::ReadFileBytes;
using test::TempDir;
using test::WriteFileBytes;
using namespace std::chrono_literals;

namespace fs = std::filesystem;

// The window with its waits recorded, not slept.
class QuickForm : public TForm1 {
public:
    using TForm1::TForm1;
    ~QuickForm() override { EndWorkers(); }
    void Sleep(int) override {}
};

int FilesIn(const std::string& folder) {
    std::error_code ec;
    int count = 0;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        ++count;
    return count;
}

class Batch : public ::testing::Test {
protected:
    // The program in a folder of its own, beside a settings file naming the service.
    void Install(const tileservice::ServiceOptions& options) {
        m_service = std::make_unique<tileservice::TileService>(options);
        fs::create_directory(m_exe.Path() + "ini");
        fs::create_directory(m_exe.Path() + "blankimg");
        WriteFileBytes(m_exe.Path() + "ini/config.ini",
                       "[Service]\r\nHost=127.0.0.1:" + std::to_string(m_service->Port()) + "\r\n");
        WriteFileBytes(m_exe.Path() + "blankimg/blank.png", "blank");
        fs::copy_file(QUARROW_BATCH_PATH, m_exe.Path() + "quarrow-batch");
    }

    test::ProgramRun Run(std::vector<std::string> arguments,
                         const std::function<bool()>& interruptWhen = {}) {
        return test::RunProgram(m_exe.Path() + "quarrow-batch", arguments, {}, 60s, interruptWhen);
    }

    std::vector<std::string> Task(const std::string& area, const std::string& zoom,
                                  const std::string& name, const std::string& folder) {
        return {"--area", area, "--zoom", zoom, "--name", name, "--folder", folder};
    }

    std::unique_ptr<tileservice::TileService> m_service;
    TempDir m_exe;
    TempDir m_save;
};

tileservice::ServiceOptions AnyPort() {
    tileservice::ServiceOptions options;
    options.Port = 0;
    return options;
}

TEST_F(Batch, ACustomSourceStoppedByCtrlCKeepsTheLineOfEveryTileItSaved) {
    Install(AnyPort());
    WriteFileBytes(m_exe.Path() + "ini/sources.ini",
                   "[Fast]\r\nMapView=http://127.0.0.1:" + std::to_string(m_service->Port()) +
                       "/xyz/normal/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n\r\n"
                       "[Broken]\r\nMapView=ftp://t.example/{z}/{x}/{y}.png\r\n");
    // A source that cannot be used says why.
    const test::ProgramRun broken =
        Run({"--source", "Broken", "--area", "116.1,39.7,116.3,39.8", "--zoom", "12", "--name",
             "b", "--folder", m_save.Path()});
    EXPECT_EQ(2, broken.ExitCode);
    EXPECT_NE(std::string::npos,
              broken.Err.find("--source: the source \"Broken\" in " + m_exe.Path() +
                              "ini/sources.ini cannot be used: Map view: The URL template must "
                              "begin with http:// or https://, not ftp://."))
        << broken.Err;

    const std::string tiles = m_save.Path() + "fast/";
    std::vector<std::string> arguments = Task("116.1,39.7,116.5,40", "15", "fast", m_save.Path());
    arguments.insert(arguments.end(), {"--source", "Fast"});
    const test::ProgramRun stopped = Run(arguments, [&] { return FilesIn(tiles) >= 40; });
    EXPECT_EQ(130, stopped.ExitCode) << stopped.Err;
    const std::string log = ReadFileBytes(m_save.Path() + "fast_log.txt");
    int saved = 0;
    for (const auto& entry : fs::directory_iterator(tiles)) {
        ++saved;
        const std::string name = entry.path().filename().string();
        EXPECT_NE(std::string::npos, log.find("," + name + " OK\r\n")) << name;
    }
    EXPECT_GE(saved, 40);
}

TEST_F(Batch, MistakesAndRefusalsNameTheirArgumentAndADryRunWritesNothing) {
    Install(AnyPort());
    const std::string folder = m_save.Path() + "new";
    const std::string area = "116.1,39.7,116.3,39.8";
    struct Case {
        std::vector<std::string> Arguments;
        std::string Told;
    };
    const auto with = [&](std::vector<std::string> extra) {
        std::vector<std::string> arguments = Task(area, "12", "t", folder);
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        return arguments;
    };
    const Case cases[] = {
        {{}, "Usage:\n  quarrow-batch --area W,S,E,N"},
        {{"--zoom", "12"}, "--area or --area-file is needed"},
        {Task("116.1,39.7,196,39.8", "12", "t", folder),
         "--area: the east edge 196 is not within -180 to 180"},
        {Task("116.1,39.7,116.3,x", "12", "t", folder), "--area: the north edge \"x\" is not a number"},
        {Task("1,2,3", "12", "t", folder), "--area: \"1,2,3\" is not four numbers"},
        {Task(area, "19", "t", folder), "--zoom: \"19\" is not a zoom level"},
        {Task(area, "14-12", "t", folder), "--zoom: \"14-12\" runs backwards"},
        {with({"--type", "road"}), "--type: \"road\" is not map, satellite or terrain"},
        {with({"--workers", "9"}), "--workers: \"9\" is not a number from 1 to 8"},
        {with({"--workers", "3"}), "--workers: the built-in source's tasks have 8 workers"},
        {with({"--bogus"}), "--bogus: no such option"},
        {with({"--source", "Nope"}), "--source: no source \"Nope\""},
        {with({"--resume", "t.zav"}), "cannot go with --resume"},
        {with({"--update", "t.zav"}), "cannot go with --update"},
        {{"--update", "t.zav", "--older-than", "week"}, "--older-than: \"week\" is not a number"},
        {with({"--force"}), "--force: goes with --update"},
        {{"--update", folder + "/none.zav"}, "--update: "},
        {{"--area-file", folder + "/none.gpx", "--zoom", "12", "--name", "t", "--folder", folder},
         "--area-file: "},
        // A project file that a power cut emptied is told as such, not taken for a task.
        {{"--resume", m_save.Path() + "lost.zav"}, "The project file of lost is empty: the disk lost it."},
        {{"--retry-failed", m_save.Path() + "lost.zav"}, "The project file of lost is empty"},
        // The window's own checks and words.
        {Task("116.3,39.7,116.1,39.8", "12", "t", folder),
         "--area: the west edge 116.3 is east of the east edge 116.1"},
        {{"--retry-failed", folder + "/nosuch.zav"},
         "--retry-failed: there is no project file " + folder + "/nosuch.zav"},
        {Task(area, "12", "../t", folder), "The task name must be a file name, without folders."},
        {Task(area, "12", "t\r\nx", folder), "The task name must not hold a line break"},
        {Task(area, "12", "t.lock", folder), "The task name must not end in \".lock\""},
        // A project file from elsewhere whose source would send a header of Quarrow's own.
        {{"--resume", m_save.Path() + "attack.zav"}, "Header 1 names Host"},
        {{"--update", m_save.Path() + "attack.zav"}, "Header 1 names Host"},
        {{"--retry-failed", m_save.Path() + "attack.zav"}, "Header 1 names Host"},
    };
    WriteFileBytes(m_save.Path() + "attack.zav",
                   "[MapsType]\r\nMapsType=17\r\n[AREA]\r\nLeftLongitude=116.1\r\n"
                   "RightLongitude=116.3\r\nTopLatitude=39.8\r\nBottomLatitude=39.7\r\n"
                   "[Zoom]\r\nZoom=12\r\n[Source]\r\nName=Attack\r\n"
                   "Template=http://127.0.0.1:1/{z}/{x}/{y}.png\r\nHeader1=Host: evil.example\r\n");
    WriteFileBytes(m_save.Path() + "lost.zav", "");
    WriteFileBytes(m_save.Path() + "lost_failed.ftl", "");
    for (const Case& c : cases) {
        const test::ProgramRun run = Run(c.Arguments);
        EXPECT_EQ(2, run.ExitCode) << c.Told;
        EXPECT_NE(std::string::npos, run.Err.find(c.Told)) << run.Err;
    }

    const test::ProgramRun dry = Run(with({"--dry-run", "--zoom=11-12"}));
    EXPECT_EQ(2, dry.ExitCode) << "--zoom given twice";
    std::vector<std::string> range = Task(area, "11-12", "t", folder + "/more");
    range.push_back("--dry-run");
    const test::ProgramRun estimate = Run(range);
    EXPECT_EQ(0, estimate.ExitCode) << estimate.Err;
    EXPECT_EQ("zoom 11: 4 tiles, about 80 KB, about 1 s at the source's pace (t_z11.zav)\n"
              "zoom 12: 12 tiles, about 240 KB, about 2 s at the source's pace (t_z12.zav)\n",
              estimate.Out);
    // Unlike the window, a refusal makes not even the save folder.
    EXPECT_FALSE(std::filesystem::exists(folder)) << "every refusal and the dry run wrote nothing";
}

TEST_F(Batch, CtrlCThenTheWindowResumesAndTheFilesAreTheWindows) {
    Install(AnyPort());
    // 70 tiles, eight workers one second apart: Ctrl-C once the first round is in.
    const std::string area = "116.1,39.7,116.3,39.8";
    const std::string tiles = m_save.Path() + "bj/";
    const test::ProgramRun stopped =
        Run(Task(area, "14", "bj", m_save.Path()), [&] { return FilesIn(tiles) >= 8; });
    EXPECT_EQ(130, stopped.ExitCode) << stopped.Err;
    EXPECT_NE(std::string::npos,
              stopped.Err.find("not fetched (stopped). Go on with: quarrow-batch --resume " +
                               m_save.Path() + "bj.zav\n"))
        << stopped.Err;
    const int before = FilesIn(tiles);
    EXPECT_GE(before, 8);
    EXPECT_LT(before, 70);
    const std::string log = ReadFileBytes(m_save.Path() + "bj_log.txt");
    EXPECT_NE(std::string::npos, log.find("Thread8will be terminated by user. please wait..."));
    EXPECT_NE(std::string::npos, log.find("\r\nTask Stoped!\r\n"));

    // The window, given the same entries, continues the task and fetches the rest.
    test::RecordingDialogs dialogs;
    QuickForm form(dialogs, QString::fromStdString(m_exe.Path()));
    form.findChild<QWidget*>(QStringLiteral("radio_mapstype"))
        ->findChildren<QRadioButton*>()[0]
        ->click(); // Map view, the program's default
    const auto set = [&](const char* name, const std::string& text) {
        form.findChild<QLineEdit*>(QString::fromLatin1(name))
            ->setText(QString::fromStdString(text));
    };
    set("Edit1", "116.1");
    set("Edit4", "39.7");
    set("Edit3", "116.3");
    set("Edit2", "39.8");
    set("Edit5", "14");
    set("Edit6", m_save.Path());
    set("EditTaskName", "bj.zav");
    form.BitBtn1Click();
    ASSERT_NE(nullptr, form.CurrentTask);
    EXPECT_TRUE(form.CurrentTask->Params->Resume);
    form.findChild<QTimer*>(QStringLiteral("Timer1"))->stop();
    const auto end = std::chrono::steady_clock::now() + 30s;
    while (form.RunningWorkers > 0 && std::chrono::steady_clock::now() < end) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    form.Timer1Timer();
    EXPECT_EQ(70, FilesIn(tiles));
    // Only the tiles the batch had not fetched: each saved tile is one "OK" line of the log.
    const auto saved = [](const std::string& text) {
        int count = 0;
        for (std::size_t at = text.find(" OK\r\n"); at != std::string::npos;
             at = text.find(" OK\r\n", at + 1))
            ++count;
        return count;
    };
    EXPECT_EQ(before, saved(log));
    EXPECT_EQ(70, saved(ReadFileBytes(m_save.Path() + "bj_log.txt")));
    EXPECT_EQ("", ReadFileBytes(m_save.Path() + "bj_failed.ftl"));
    // And quarrow-batch resumes it too: nothing is left to fetch.
    const test::ProgramRun resumed = Run({"--resume", m_save.Path() + "bj.zav"});
    EXPECT_EQ(0, resumed.ExitCode) << resumed.Err;
    EXPECT_NE(std::string::npos, resumed.Err.find("70 tiles: 70 saved, 0 blank")) << resumed.Err;

    // A task of three tiles by each program: the same project file, list and tiles.
    TempDir byBatch, byWindow;
    const test::ProgramRun small = Run(Task("116.3,39.9,116.5,39.9", "12", "e2e", byBatch.Path()));
    EXPECT_EQ(0, small.ExitCode) << small.Err;
    set("Edit1", "116.3");
    set("Edit4", "39.9");
    set("Edit3", "116.5");
    set("Edit2", "39.9");
    set("Edit5", "12");
    set("Edit6", byWindow.Path());
    set("EditTaskName", "e2e.zav");
    form.BitBtn1Click();
    while (form.RunningWorkers > 0 && std::chrono::steady_clock::now() < end + 30s) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    form.Timer1Timer();
    for (const char* file : {"e2e.zav", "e2e_list.txt", "e2e_failed.ftl",
                             "e2e/zavm_3371_1552_12.png", "e2e/zavm_3373_1552_12.png"})
        EXPECT_TRUE(ReadFileBytes(byWindow.Path() + file) == ReadFileBytes(byBatch.Path() + file))
            << file;
}

TEST_F(Batch, ATaskOfTheNameIsReplacedOnlyWithReplace) {
    Install(AnyPort());
    const std::string project = m_save.Path() + "kept.zav";
    ASSERT_EQ(0, Run(Task("116.3,39.85,116.32,39.87", "13", "kept", m_save.Path())).ExitCode);
    const std::string before = ReadFileBytes(project);
    const std::string log = ReadFileBytes(m_save.Path() + "kept_log.txt");
    // The same name at another zoom level would write the task anew.
    const test::ProgramRun refused = Run(Task("116.3,39.85,116.32,39.87", "14", "kept", m_save.Path()));
    EXPECT_EQ(2, refused.ExitCode);
    EXPECT_NE(std::string::npos,
              refused.Err.find("The task kept exists in " + m_save.Path() +
                               ": --resume it, or add --replace to start it anew."))
        << refused.Err;
    EXPECT_EQ(before, ReadFileBytes(project));
    EXPECT_EQ(log, ReadFileBytes(m_save.Path() + "kept_log.txt"));
    std::vector<std::string> replace = Task("116.3,39.85,116.32,39.87", "14", "kept", m_save.Path());
    replace.push_back("--replace");
    EXPECT_EQ(0, Run(replace).ExitCode);
    EXPECT_EQ(14, ProfileFile(project).ReadInteger("Zoom", "Zoom", 0));
}

TEST_F(Batch, FailedTilesAreListedAndFetchedAgainFromTheList) {
    tileservice::ServiceOptions options = AnyPort();
    options.Share403 = 1;
    Install(options);
    const test::ProgramRun run = Run(Task("116.3,39.9,116.5,39.9", "12", "bad", m_save.Path()));
    EXPECT_EQ(3, run.ExitCode) << run.Err;
    const std::string failed = ReadFileBytes(m_save.Path() + "bad_failed.ftl");
    EXPECT_NE("", failed);
    const test::ProgramRun again = Run({"--retry-failed", m_save.Path() + "bad.zav"});
    EXPECT_TRUE(again.Out.starts_with("Start...\n")) << again.Out;
    EXPECT_TRUE(again.Out.ends_with("Download End.\n")) << again.Out;
    EXPECT_EQ(3, again.ExitCode);
}

// A task begun with a folder relative to where the command was typed is counted, resumed and
// re-downloaded the same from any other folder.
TEST_F(Batch, ATasksFailedTilesAreTheSameFromAnyFolder) {
    tileservice::ServiceOptions options = AnyPort();
    options.Share500 = 1;
    Install(options);
    const fs::path typedIn = fs::current_path();
    fs::current_path(m_save.Path());
    const test::ProgramRun first = Run(Task("116.3,39.9,116.5,39.9", "12", "rel", "maps"));
    fs::current_path("/");
    EXPECT_EQ(3, first.ExitCode) << first.Err;
    const std::string project = m_save.Path() + "maps/rel.zav";
    const test::ProgramRun resumed = Run({"--resume", project});
    EXPECT_EQ(3, resumed.ExitCode) << resumed.Err;
    EXPECT_NE(std::string::npos, resumed.Err.find("0 blank (the service has none), 3 failed"))
        << resumed.Err;
    options.Port = m_service->Port();
    options.Share500 = 0;
    m_service.reset();
    m_service = std::make_unique<tileservice::TileService>(options);
    const test::ProgramRun again = Run({"--retry-failed", project});
    fs::current_path(typedIn);
    EXPECT_EQ(0, again.ExitCode) << again.Out << again.Err;
    EXPECT_EQ(3, FilesIn(m_save.Path() + "maps/rel"));
    EXPECT_FALSE(fs::exists("/maps"));
}

// A cut while a new task wrote its files may leave its project without its log and failed list:
// the resume goes on with them empty and says so.
TEST_F(Batch, ATaskWithoutItsLogOrFailedListGoesOn) {
    Install(AnyPort());
    ASSERT_EQ(0, Run(Task("116.3,39.9,116.5,39.9", "12", "cut", m_save.Path())).ExitCode);
    fs::remove(m_save.Path() + "cut_log.txt");
    fs::remove(m_save.Path() + "cut_failed.ftl");
    const test::ProgramRun again = Run({"--resume", m_save.Path() + "cut.zav"});
    EXPECT_EQ(0, again.ExitCode) << again.Err;
    EXPECT_NE(std::string::npos, again.Err.find("cut_failed.ftl was missing: it begins anew."))
        << again.Err;
    EXPECT_NE(std::string::npos, ReadFileBytes(m_save.Path() + "cut_log.txt").find("Log continue..."));
}

// A service that had none of the tiles, then half of them, then all: each --retry-blanks asks for
// exactly the blank tiles, saves what is now served and says both counts.
TEST_F(Batch, BlankTilesAreAskedAgainUntilTheServiceHasThem) {
    tileservice::ServiceOptions options = AnyPort();
    options.Share404 = 1;
    Install(options);
    const std::string project = m_save.Path() + "gaps.zav", tiles = m_save.Path() + "gaps/";
    ASSERT_EQ(0, Run(Task("116.3,39.9,116.5,39.9", "14", "gaps", m_save.Path())).ExitCode);
    const auto blanks = [&] {
        int count = 0;
        for (const auto& entry : fs::directory_iterator(tiles))
            count += ReadFileBytes(entry.path().string()) == "blank";
        return count;
    };
    const int total = FilesIn(tiles);
    ASSERT_EQ(total, blanks());
    const auto counted = [](const std::string& out) {
        const std::size_t at = out.rfind('\n', out.size() - 2);
        return out.substr(at == std::string::npos ? 0 : at + 1);
    };
    for (const double share : {0.5, 0.0}) {
        SCOPED_TRACE(share);
        options.Share404 = share;
        const int before = blanks();
        fs::remove_all(m_exe.Path());
        fs::create_directory(m_exe.Path());
        Install(options);
        const test::ProgramRun again = Run({"--retry-blanks", project});
        EXPECT_EQ(0, again.ExitCode) << again.Err;
        const int still = blanks();
        EXPECT_EQ(std::to_string(before) + " blank tiles asked again: " +
                      std::to_string(before - still) + " saved, " + std::to_string(still) +
                      " still blank (the service has none), 0 failed.\n",
                  counted(again.Out));
        EXPECT_EQ(total, FilesIn(tiles));
        if (share > 0) {
            EXPECT_LT(still, before);
            EXPECT_GT(still, 0);
        } else {
            EXPECT_EQ(0, still);
        }
    }
    for (const auto& entry : fs::directory_iterator(tiles)) {
        EXPECT_TRUE(ReadFileBytes(entry.path().string()).starts_with("\x89PNG")) << entry.path();
        EXPECT_FALSE(entry.path().string().ends_with(".tmp"));
    }
}

TEST_F(Batch, AZoomRangeIsATaskPerLevelAndEachResumes) {
    Install(AnyPort());
    std::vector<std::string> arguments =
        Task("116.1,39.7,116.3,39.8", "11-12", "bj.zav", m_save.Path());
    arguments.push_back("--verbose");
    const test::ProgramRun run = Run(arguments);
    EXPECT_EQ(0, run.ExitCode) << run.Err;
    EXPECT_EQ(4, FilesIn(m_save.Path() + "bj_z11"));
    EXPECT_EQ(12, FilesIn(m_save.Path() + "bj_z12"));
    // The log lines echoed: each level's workers finish.
    EXPECT_NE(std::string::npos, run.Out.find("T4 Finished.")) << run.Out;
    EXPECT_NE(std::string::npos, run.Out.find("T8 Finished.")) << run.Out;
    EXPECT_EQ(std::string::npos, run.Err.find("Finished.")) << "log lines stay off the progress";
    const test::ProgramRun again = Run({"--resume", m_save.Path() + "bj_z11.zav"});
    EXPECT_EQ(0, again.ExitCode) << again.Err;
    EXPECT_NE(std::string::npos, again.Err.find("Resuming ")) << again.Err;
    EXPECT_NE(std::string::npos, again.Err.find("4 tiles: 4 saved, 0 blank")) << again.Err;
}

// A level that cannot be whole (a tile's name taken by a folder) does not keep the next from
// being fetched; the end says which levels are whole.
TEST_F(Batch, EveryLevelOfARangeIsAskedForAndTheEndSaysWhichAreWhole) {
    Install(AnyPort());
    const TileRange range = CoveringTiles(116.1, 116.3, 39.8, 39.7, 11);
    fs::create_directories(m_save.Path() + "bj_z11/zavm_" + std::to_string(range.MinX) + "_" +
                           std::to_string(range.MinY) + "_11.png");
    const test::ProgramRun run = Run(Task("116.1,39.7,116.3,39.8", "11-12", "bj", m_save.Path()));
    EXPECT_NE(0, run.ExitCode) << run.Err;
    EXPECT_NE(std::string::npos, run.Err.find("Zoom 11 to 12: 12 whole, 11 not whole.")) << run.Err;
    EXPECT_EQ(12, FilesIn(m_save.Path() + "bj_z12"));
}

TEST_F(Batch, ASecondCtrlCEndsAtOnceWithTheTaskSaved) {
    // Answers that take far longer than the stop's grace: after one Ctrl-C the program would wait
    // for its workers' requests; after a second it saves and ends at once.
    tileservice::ServiceOptions options = AnyPort();
    options.DelayMs = 20000;
    Install(options);
    const std::string program = m_exe.Path() + "quarrow-batch";
    std::vector<std::string> words{program};
    for (const std::string& word : Task("116.1,39.7,116.3,39.8", "14", "bj", m_save.Path()))
        words.push_back(word);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(0, ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ));
    posix_spawn_file_actions_destroy(&actions);
    // Once the task's files are written, its workers are in their first requests.
    const std::string log = m_save.Path() + "bj_log.txt";
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (!fs::exists(log) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(200ms);
    ::kill(pid, SIGINT);
    // Both within one of the program's checks, as a hurried user's two presses often are.
    std::this_thread::sleep_for(20ms);
    const auto second = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(5ms);
    const auto took = std::chrono::steady_clock::now() - second;
    if (::waitpid(pid, &status, WNOHANG) == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "still running";
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(130, WEXITSTATUS(status));
    EXPECT_LT(took, 1500ms) << "the grace is 2 s, the answers 20 s";
    EXPECT_NE(std::string::npos, ReadFileBytes(log).find("\r\nTask Stoped!\r\n"));
}


// --- Updates ---

// The tile files of a folder by name.
std::map<std::string, std::string> TilesIn(const std::string& folder) {
    std::map<std::string, std::string> tiles;
    for (const auto& entry : fs::directory_iterator(folder))
        tiles[entry.path().filename().string()] = ReadFileBytes(entry.path().string());
    return tiles;
}

int Count(const std::string& text, const std::string& part) {
    int count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

TEST_F(Batch, AnUpdateReplacesExactlyTheChangedTilesAsTheServiceNowHasThem) {
    Install(AnyPort());
    const int port = m_service->Port();
    WriteFileBytes(m_exe.Path() + "ini/sources.ini",
                   "[Fast]\r\nMapView=http://127.0.0.1:" + std::to_string(port) +
                       "/xyz/normal/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n");
    const std::string area = "116.3,39.9,116.4,39.95";
    const auto download = [&](const std::string& name) {
        std::vector<std::string> arguments = Task(area, "14", name, m_save.Path());
        arguments.insert(arguments.end(), {"--source", "Fast"});
        const test::ProgramRun run = Run(arguments);
        EXPECT_EQ(0, run.ExitCode) << run.Err;
    };
    download("fresh");
    const std::string project = m_save.Path() + "fresh.zav";
    const std::string tiles = m_save.Path() + "fresh/";
    const auto before = TilesIn(tiles);
    const std::string projectBytes = ReadFileBytes(project);

    // The service now has a new picture of every 20th tile.
    m_service.reset();
    tileservice::ServiceOptions changed;
    changed.Port = port;
    changed.ChangedEvery = 20;
    m_service = std::make_unique<tileservice::TileService>(changed);
    const std::int64_t updatedAt = SecondsNow();
    const test::ProgramRun update = Run({"--update", project});
    EXPECT_EQ(0, update.ExitCode) << update.Err;

    // Byte for byte what a new download from the service gets, and only the changed ones new.
    download("again");
    const auto after = TilesIn(tiles);
    EXPECT_TRUE(after == TilesIn(m_save.Path() + "again/"));
    ASSERT_EQ(before.size(), after.size());
    TileRecords records(TaskFilesOf(project).Records, TileRecords::Access::Read);
    int replaced = 0;
    for (const auto& [name, bytes] : after) {
        int x = 0, y = 0;
        ASSERT_EQ(2, std::sscanf(name.c_str(), "zavm_%d_%d_14.png", &x, &y)) << name;
        const bool isNew = (static_cast<long long>(y) * (1 << 14) + x) % 20 == 0;
        replaced += bytes != before.at(name);
        EXPECT_EQ(isNew, bytes != before.at(name)) << name;
        const std::optional<TileRecord> record = records.Find(x, y);
        ASSERT_TRUE(record) << name;
        EXPECT_EQ("\"normal-14-" + std::to_string(x) + "-" + std::to_string(y) + "-png-" +
                      (isNew ? "v2" : "v1") + "\"",
                  record->ETag);
        // The file's time is when the update got or confirmed the tile.
        EXPECT_GE(TileFileTime(tiles + name), updatedAt) << name;
    }
    EXPECT_GT(replaced, 0);
    EXPECT_NE(std::string::npos,
              update.Err.find(std::to_string(after.size()) + " tiles checked: " +
                              std::to_string(after.size() - static_cast<std::size_t>(replaced)) +
                              " unchanged, " + std::to_string(replaced) +
                              " changed, 0 gone from the service, 0 failed; "))
        << update.Err;
    // The task's own files stay as they were; the log tells of the update.
    EXPECT_EQ(projectBytes, ReadFileBytes(project));
    const std::string log = ReadFileBytes(m_save.Path() + "fresh_log.txt");
    EXPECT_NE(std::string::npos,
              log.find(": every tile that its service does not call fresh.\r\n"));
    EXPECT_EQ(replaced, Count(log, " OK\r\n") - static_cast<int>(after.size()));

    // Once more: everything is as the service has it.
    const test::ProgramRun again = Run({"--update", project});
    EXPECT_EQ(0, again.ExitCode) << again.Err;
    EXPECT_NE(std::string::npos, again.Err.find(" 0 changed,")) << again.Err;
    EXPECT_TRUE(after == TilesIn(tiles));
}

TEST_F(Batch, FreshTilesWaitForForceAndAStoppedUpdateGoesOnWithoutAskingTwice) {
    tileservice::ServiceOptions options = AnyPort();
    options.MaxAgeSeconds = 3600;
    Install(options);
    const int port = m_service->Port();
    WriteFileBytes(m_exe.Path() + "ini/sources.ini",
                   "[Fast]\r\nMapView=http://127.0.0.1:" + std::to_string(port) +
                       "/xyz/normal/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n");
    // 380 tiles: the update on the slow service below takes about two seconds.
    std::vector<std::string> arguments = Task("116.1,39.7,116.5,40", "14", "aged", m_save.Path());
    arguments.insert(arguments.end(), {"--source", "Fast"});
    ASSERT_EQ(0, Run(arguments).ExitCode);
    const std::string project = m_save.Path() + "aged.zav";
    const int tiles = FilesIn(m_save.Path() + "aged/");

    // Its service said the tiles stay fresh for an hour.
    const test::ProgramRun fresh = Run({"--update", project});
    EXPECT_EQ(0, fresh.ExitCode) << fresh.Err;
    EXPECT_NE(std::string::npos,
              fresh.Err.find(std::to_string(tiles) + " tiles: 0 asked, " + std::to_string(tiles) +
                             " skipped (still fresh: the service said so); 0 tiles checked:"))
        << fresh.Err;

    // Forced, on a slow service, and stopped half way; the same command goes on.
    m_service.reset();
    options.Port = port;
    options.DelayMs = 40;
    m_service = std::make_unique<tileservice::TileService>(options);
    // Ctrl-C after some thirty answers (a 304 is some 110 bytes).
    const test::ProgramRun stopped = Run({"--update", project, "--force"},
                                         [&] { return m_service->BytesSent() > 3000; });
    EXPECT_EQ(130, stopped.ExitCode) << stopped.Err;
    EXPECT_NE(std::string::npos,
              stopped.Err.find("Go on with: quarrow-batch --update " + project)) << stopped.Err;
    const int firstPart = Count(ReadFileBytes(m_save.Path() + "aged_log.txt"), " unchanged\r\n");
    EXPECT_GT(firstPart, 0);
    EXPECT_LT(firstPart, tiles);
    const test::ProgramRun resumed = Run({"--update", project, "--force"});
    EXPECT_EQ(0, resumed.ExitCode) << resumed.Err;
    // The end counts the whole update, both its runs.
    EXPECT_NE(std::string::npos,
              resumed.Err.find(std::to_string(tiles) + " tiles checked: " +
                               std::to_string(tiles) + " unchanged"))
        << resumed.Err;
    // Each tile asked once in all.
    const std::string log = ReadFileBytes(m_save.Path() + "aged_log.txt");
    EXPECT_EQ(tiles, Count(log, " unchanged\r\n"));
    for (const auto& entry : fs::directory_iterator(m_save.Path() + "aged/"))
        EXPECT_EQ(1, Count(log, "," + entry.path().filename().string() + " unchanged\r\n"));
}

TEST_F(Batch, AnUpdateWhoseWorkersGaveUpIsNoWholeUpdate) {
    Install(AnyPort());
    const std::string project = m_save.Path() + "cut.zav";
    ASSERT_EQ(0, Run(Task("116.3,39.85,116.32,39.87", "13", "cut", m_save.Path())).ExitCode);
    // Every worker leaves before its first tile: a proxy port that is no number.
    const std::string config = ReadFileBytes(m_exe.Path() + "ini/config.ini");
    WriteFileBytes(m_exe.Path() + "ini/config.ini",
                   config + "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=abc\r\n");
    const test::ProgramRun cut = Run({"--update", project, "--force"});
    EXPECT_EQ(3, cut.ExitCode) << cut.Err;
    EXPECT_NE(std::string::npos, cut.Err.find("0 tiles checked:")) << cut.Err;
    TileRecords records(TaskFilesOf(project).Records, TileRecords::Access::Read);
    const std::int64_t pass = records.UpdatePass(SecondsNow() + 10);
    // The pass goes on: the next update is the same one, not a new one.
    EXPECT_LT(pass, SecondsNow() + 10);

    WriteFileBytes(m_exe.Path() + "ini/config.ini", config);
    const test::ProgramRun whole = Run({"--update", project, "--force"});
    EXPECT_EQ(0, whole.ExitCode) << whole.Err;
}

TEST_F(Batch, TheWindowUpdatesABuiltInTaskMadeBeforeRecordsWereKept) {
    Install(AnyPort());
    const std::string project = m_save.Path() + "old.zav";
    ASSERT_EQ(0, Run(Task("116.3,39.9,116.35,39.92", "13", "old", m_save.Path())).ExitCode);
    // The built-in source's download writes only the task's own files.
    EXPECT_FALSE(fs::exists(TaskFilesOf(project).Records));
    const std::string projectBytes = ReadFileBytes(project);
    const std::string listBytes = ReadFileBytes(m_save.Path() + "old_list.txt");
    const auto before = TilesIn(m_save.Path() + "old/");

    test::RecordingDialogs dialogs;
    QuickForm form(dialogs, QString::fromStdString(m_exe.Path()));
    form.findChild<QTimer*>(QStringLiteral("Timer1"))->stop();
    for (int round = 0; round < 2; ++round) {
        // The dialog is modal: it is answered from the event loop.
        QTimer::singleShot(0, &form, [&] {
            auto* dialog = form.findChild<QDialog*>(QStringLiteral("frmUpdate"));
            ASSERT_NE(nullptr, dialog);
            dialog->findChild<QLineEdit*>(QStringLiteral("EditProject"))
                ->setText(QString::fromStdString(project));
            dialog->findChild<QPushButton*>(QStringLiteral("ButtonOk"))->click();
        });
        form.UpdateTask1Click();
        ASSERT_NE(nullptr, form.CurrentTask);
        // The entries show the task being updated.
        EXPECT_EQ("old.zav", form.findChild<QLineEdit*>(QStringLiteral("EditTaskName"))->text());
        EXPECT_EQ("13", form.findChild<QLineEdit*>(QStringLiteral("Edit5"))->text());
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (form.RunningWorkers > 0 && std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(2ms);
        }
        form.Timer1Timer();
        // Without validators its tiles come whole once, and are the same; then they are asked.
        const std::string text =
            form.findChild<QLabel*>(QStringLiteral("ProgressText"))->text().toStdString();
        EXPECT_EQ("Update: " + std::to_string(before.size()) + " checked, 0 changed, 0 gone, 0 failed",
                  text);
    }
    EXPECT_TRUE(before == TilesIn(m_save.Path() + "old/"));
    EXPECT_EQ(projectBytes, ReadFileBytes(project));
    EXPECT_EQ(listBytes, ReadFileBytes(m_save.Path() + "old_list.txt"));
    TileRecords records(TaskFilesOf(project).Records, TileRecords::Access::Read);
    EXPECT_TRUE(records.Find(form.CurrentTask->MinX, form.CurrentTask->MinY));
    EXPECT_EQ((QStringList{QStringLiteral("Task stoped!                    "),
                           QStringLiteral("Task stoped!                    ")}),
              dialogs.TextsOf(test::RecordingDialogs::Kind::Message));
}

TEST_F(Batch, TheWindowLeftMidUpdateKeepsTheRecordOfEveryTileItTold) {
    tileservice::ServiceOptions options = AnyPort();
    Install(options);
    const int port = m_service->Port();
    WriteFileBytes(m_exe.Path() + "ini/sources.ini",
                   "[Fast]\r\nMapView=http://127.0.0.1:" + std::to_string(port) +
                       "/xyz/normal/{z}/{x}/{y}.png\r\nWorkers=8\r\nTileDelay=0\r\n");
    std::vector<std::string> arguments = Task("116.1,39.7,116.5,40", "14", "left", m_save.Path());
    arguments.insert(arguments.end(), {"--source", "Fast"});
    ASSERT_EQ(0, Run(arguments).ExitCode);
    const std::string project = m_save.Path() + "left.zav";
    m_service.reset();
    options.Port = port;
    options.DelayMs = 40;
    m_service = std::make_unique<tileservice::TileService>(options);

    const std::int64_t start = SecondsNow();
    {
        test::RecordingDialogs dialogs;
        QuickForm form(dialogs, QString::fromStdString(m_exe.Path()));
        QTimer::singleShot(0, &form, [&] {
            auto* dialog = form.findChild<QDialog*>(QStringLiteral("frmUpdate"));
            ASSERT_NE(nullptr, dialog);
            dialog->findChild<QLineEdit*>(QStringLiteral("EditProject"))
                ->setText(QString::fromStdString(project));
            dialog->findChild<QPushButton*>(QStringLiteral("ButtonOk"))->click();
        });
        form.UpdateTask1Click();
        auto* log = form.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
        const auto end = std::chrono::steady_clock::now() + 30s;
        while (Count(log->toPlainText().toStdString(), " unchanged") < 30 &&
               std::chrono::steady_clock::now() < end) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(2ms);
        }
        // Leaving while the workers' lines and records are still on their way.
    }
    const std::string log = ReadFileBytes(m_save.Path() + "left_log.txt");
    TileRecords records(TaskFilesOf(project).Records, TileRecords::Access::Read);
    int told = 0;
    for (std::size_t at = log.find(" unchanged\r\n"); at != std::string::npos;
         at = log.find(" unchanged\r\n", at + 1)) {
        const std::size_t name = log.rfind(',', at) + 1;
        int x = 0, y = 0;
        ASSERT_EQ(2, std::sscanf(log.substr(name, at - name).c_str(), "%*[a-z]_%d_%d_14", &x, &y));
        const std::optional<TileRecord> record = records.Find(x, y);
        ASSERT_TRUE(record) << x << "," << y;
        EXPECT_GE(record->Checked, start) << x << "," << y;
        ++told;
    }
    EXPECT_GE(told, 30);
    EXPECT_LT(told, FilesIn(m_save.Path() + "left/"));
}

} // namespace
} // namespace quarrow
