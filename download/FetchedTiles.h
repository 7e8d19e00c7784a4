// Where the tiles that a run outside the workers fetched go (the re-download of a custom source's
// list, the blank tiles' second ask): written under the task's lock without a flush of their own,
// recorded as a run records them, and made durable before anything that says they are there.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "store/TileBatch.h"
#include "store/TileRecords.h"
#include "engine/Unitclasstask.h"

namespace quarrow {

class SourceFetcher;

class FetchedTiles {
public:
    // A custom source's tiles are recorded; records that cannot be opened are told once and
    // the tiles saved without them.
    FetchedTiles(const DownloadTask& task, const std::function<void(const std::string&)>& tell,
                 TileBatch::Flusher flusher = FlushWritten);
    ~FetchedTiles();
    FetchedTiles(const FetchedTiles&) = delete;
    FetchedTiles& operator=(const FetchedTiles&) = delete;

    // The bytes as the tile's file, with what the fetcher's last answer said of it. Throws an
    // Exception when the file cannot be written.
    void Save(int x, int y, std::string_view bytes, const SourceFetcher& fetcher);
    // The tiles saved since the last commit made durable, then the records, then the step.
    // Throws as TileBatch::Commit, and an Exception when the records cannot be kept.
    void Commit(const std::function<void()>& then = [] {});

private:
    const DownloadTask& m_task;
    TileBatch m_batch;
    std::unique_ptr<TileRecords> m_records;
};

} // namespace quarrow
