// One run of a task as the window and quarrow-batch present it: what its workers' events make of
// its end, for a download and for an update.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "task/TaskRun.h"
#include "store/TileRecords.h"
#include "tests/support/TaskMaker.h"
#include "tests/support/TempDir.h"

namespace quarrow {
namespace {

class VectorSink final : public LineSink {
public:
    void Load(const std::string&) override { Kept.clear(); }
    void Append(const std::string& line) override { Kept.push_back(line); }
    std::vector<std::string> Lines() const override { return Kept; }
    std::vector<std::string> Kept;
};

// A task of 2 x 2 tiles at zoom 13.
std::shared_ptr<TaskParams> FourTiles(const std::string& folder, const std::string& name) {
    return test::TaskParamsOf(folder, name, 13, 116.30, 116.34, 39.90, 39.86);
}

struct RunCase {
    const char* Name;
    bool Update;
    std::vector<TileOutcome> Tiles; // one event each, for the tiles from the first on
    WorkerEnd End;
    std::string EndMessage;
    bool Stop;
    bool Complete;
    bool SomeFailed;
    std::string Text; // what the run ends with, in quarrow-batch's words
};

TEST(TaskRun, TheEndIsJudgedFromTheTypedEventsAlone) {
    using enum TileOutcome;
    const std::string cert = "The certificate of h.example was refused: expired.";
    // clang-format off
    //  name              update tiles                               end                        message  stop   whole  failed text
    const RunCase cases[] = {
        {"AllSaved",       false, {Saved, Blank, Saved, Saved},      WorkerEnd::Walked,        "",      false, true,  false, "4 tiles: 3 saved, 1 blank (the service has none), 0 failed (listed for re-download). Done in "},
        {"OneFailed",      false, {Saved, Failed, Saved, Saved},     WorkerEnd::Walked,        "",      false, false, true,  "4 tiles: 3 saved, 0 blank (the service has none), 1 failed (listed for re-download: boom). Re-download them from the failed list."},
        {"Stopped",        false, {Saved, Saved},                    WorkerEnd::Stopped,       "",      true,  false, false, "4 tiles: 2 saved, 0 blank (the service has none), 0 failed (listed for re-download), 2 not fetched (stopped). Go on with: R"},
        {"Certificate",    false, {},                                WorkerEnd::CertificateRefused, cert, false, false, true, cert + " 4 tiles: 0 saved, 0 blank (the service has none), 0 failed (listed for re-download), 4 not fetched. Go on with: R"},
        {"UpdateWhole",    true,  {Unchanged, Changed, Gone, Unchanged}, WorkerEnd::Walked,    "",      false, true,  false, "4 tiles checked: 2 unchanged, 1 changed, 1 gone from the service, 0 failed; 0 KB fetched of 0 KB"},
        // A worker that threw out of its walk leaves its tiles unchecked: no whole update.
        {"UpdateGaveUp",   true,  {Unchanged},                       WorkerEnd::Fault,         "disk",  false, false, true,  "1 tiles checked: 1 unchanged, 0 changed, 0 gone from the service, 0 failed; 0 KB fetched of 0 KB"},
        // The reason stays in a stopped update's words.
        {"UpdateStopped",  true,  {},                                WorkerEnd::CertificateRefused, cert, true, false, true, cert + " 0 tiles checked: 0 unchanged, 0 changed, 0 gone from the service, 0 failed; 0 KB fetched of 0 KB. U"},
    };
    // clang-format on
    test::TempDir exe;
    const std::string blank = test::TilePng("blank");
    std::filesystem::create_directory(exe.Path() + "blankimg");
    test::WriteFileBytes(exe.Path() + "blankimg/blank.png", blank);
    for (const RunCase& c : cases) {
        SCOPED_TRACE(c.Name);
        test::TempDir save;
        auto params = FourTiles(save.Path(), "t.zav");
        params->ThreadCount = 1;
        if (c.Update)
            params->Update = UpdateRules{0, true, 0, 100};
        auto task = std::make_shared<DownloadTask>(params);
        ASSERT_EQ(4, task->TileCount);
        WriteTaskFiles(*task);
        VectorSink log, failed;
        TaskRun run(task, log, failed, exe.Path());
        EXPECT_EQ(c.Update, run.IsUpdate());
        int seq = 0;
        std::pair<int, int> last{0, 0};
        for (const TileOutcome outcome : c.Tiles) {
            const int x = task->MinX + seq / 2, y = task->MinY + seq % 2;
            ++seq;
            TileEvent event{x, y, outcome, outcome == Failed ? "boom" : "", 0, 0, std::nullopt};
            if (outcome == Failed)
                run.FailedLine(task->TilePath(x, y) + "|u");
            // The files the workers leave: a tile, or the blank image in its place.
            test::WriteFileBytes(task->TilePath(x, y), outcome == Saved ? test::TilePng("t")
                                                       : outcome == Blank || outcome == Failed
                                                           ? blank
                                                           : std::string());
            run.TileEnded(event);
            last = {x, y};
        }
        if (c.Stop)
            run.Stop(1);
        run.WorkerEnded({0, c.End, c.EndMessage});
        const WorkerPositions positions{last};
        std::vector<std::string> problems;
        run.Close(positions, [&](const std::string& path, const std::string& message) {
            problems.push_back(path + ": " + message);
        });
        EXPECT_TRUE(problems.empty()) << problems.front();
        EXPECT_EQ(c.Complete, run.Complete(positions));
        EXPECT_EQ(c.SomeFailed, run.SomeFailed());
        // A whole run's time is the clock's: only its words are compared.
        const std::string text = run.EndText(positions, {false, "Go on with: R", ". U"});
        if (c.Text.ends_with("Done in ")) {
            EXPECT_TRUE(text.starts_with(c.Text)) << text;
        } else {
            EXPECT_EQ(c.Text, text);
        }
        // An update's pass ends only when the update was whole.
        if (c.Update) {
            TileRecords records(TaskFilesOf(task->ProjectFile()).Records,
                                TileRecords::Access::Read);
            EXPECT_EQ(c.Complete ? 101 : 100, records.UpdatePass(50));
        }
    }
}

TEST(TaskRun, TheCensusCountsEachTileOnceFromTheFolderAndTheList) {
    test::TempDir save;
    const auto params = FourTiles(save.Path(), "c.zav");
    const DownloadTask task(params);
    const std::string blankImage = save.Path() + "blank.png";
    test::WriteFileBytes(blankImage, test::TilePng("blank"));
    const auto path = [&](int n) { return task.TilePath(task.MinX + n / 2, task.MinY + n % 2); };
    // A tile, the blank of a tile the service has none of, a listed one still blank, a listed
    // one that the re-download fetched (the list is not rewritten).
    test::WriteFileBytes(path(0), test::TilePng("a"));
    test::WriteFileBytes(path(1), test::TilePng("blank"));
    test::WriteFileBytes(path(2), test::TilePng("blank"));
    test::WriteFileBytes(path(3), test::TilePng("d"));
    const std::vector<std::string> listed = {path(2) + "|u2", path(3) + "|u3", path(2) + "|u2"};
    TileCensus census = CountTiles(task, blankImage, listed);
    EXPECT_EQ((std::vector<long long>{2, 1, 1, 0}),
              (std::vector<long long>{census.Saved, census.Blank, census.Failed, census.NotFetched}));
    // An empty file (a power cut's) and a missing one are not fetched.
    test::WriteFileBytes(path(0), "");
    std::filesystem::remove(path(1));
    census = CountTiles(task, blankImage, listed);
    EXPECT_EQ((std::vector<long long>{1, 0, 1, 2}),
              (std::vector<long long>{census.Saved, census.Blank, census.Failed, census.NotFetched}));
}

// After a power cut, an update's record must never name a tile that did not reach the disk: the
// next update would take the old picture for the new one for good.
TEST(TaskRun, TilesThatCannotBeFlushedStopTheRunBeforeAnythingCountsThem) {
    test::TempDir exe, save;
    std::filesystem::create_directory(exe.Path() + "blankimg");
    test::WriteFileBytes(exe.Path() + "blankimg/blank.png", test::TilePng("blank"));
    auto params = FourTiles(save.Path(), "f.zav");
    params->ThreadCount = 1;
    params->Update = UpdateRules{0, true, 0, 100};
    auto task = std::make_shared<DownloadTask>(params);
    WriteTaskFiles(*task);
    const std::string project = test::ReadFileBytes(task->ProjectFile());
    VectorSink log, failed;
    std::vector<std::vector<std::string>> flushed;
    std::optional<std::string> fault = "Input/output error";
    TaskRun run(task, log, failed, exe.Path(), TaskRun::Lines::Load,
                [&](const std::string&, const std::vector<std::string>& paths) {
                    flushed.push_back(paths);
                    return fault;
                });
    const int x = task->MinX, y = task->MinY;
    test::WriteFileBytes(task->TilePath(x, y), test::TilePng("new"));
    run.TileEnded({x, y, TileOutcome::Changed, "", 10, 10, TileRecord{x, y, 1, 0, "e", "", 100}});
    log.Append("told");
    run.FailedLine("listed");
    const std::string list = test::ReadFileBytes(task->FailedFile);
    std::vector<std::string> problems;
    const auto report = [&](const std::string& path, const std::string& message) {
        problems.push_back(path + ": " + message);
    };
    run.Save({{x, y}}, report);
    const std::string told =
        task->TileFolder + ": The tiles could not be saved to disk: Input/output error";
    EXPECT_EQ(std::vector<std::string>{told}, problems);
    EXPECT_EQ(std::vector<std::vector<std::string>>{{task->TilePath(x, y)}}, flushed);
    EXPECT_TRUE(run.TilesLost());
    // The log tells what happened; nothing that counts the tiles is saved.
    EXPECT_NE(std::string::npos, test::ReadFileBytes(task->LogFile).find("told\r\n"));
    EXPECT_EQ(list, test::ReadFileBytes(task->FailedFile));
    EXPECT_EQ(project, test::ReadFileBytes(task->ProjectFile()));
    {
        TileRecords records(TaskFilesOf(task->ProjectFile()).Records, TileRecords::Access::Read);
        EXPECT_FALSE(records.Find(x, y).has_value());
    }

    // A flush that succeeds now may hide what was lost: the end commits nothing either.
    fault.reset();
    run.WorkerEnded({0, WorkerEnd::Stopped, {}});
    run.Close({{x, y}}, report);
    EXPECT_EQ(1u, flushed.size());
    EXPECT_EQ(1u, problems.size());
    EXPECT_EQ(list, test::ReadFileBytes(task->FailedFile));
    EXPECT_EQ(project, test::ReadFileBytes(task->ProjectFile()));
    EXPECT_FALSE(run.Complete({{x, y}}));
    EXPECT_TRUE(run.EndText({{x, y}}, {}).starts_with(told.substr(task->TileFolder.size() + 2)));
}

} // namespace
} // namespace quarrow
