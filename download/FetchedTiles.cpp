#include "FetchedTiles.h"

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "store/TaskFiles.h"
#include "SourceFetcher.h"

namespace quarrow {

FetchedTiles::FetchedTiles(const DownloadTask& task,
                           const std::function<void(const std::string&)>& tell,
                           TileBatch::Flusher flusher)
    : m_task(task), m_batch(task.TileFolder, std::move(flusher)) {
    if (!task.Params->Source)
        return;
    try {
        m_records = std::make_unique<TileRecords>(TaskFilesOf(task.ProjectFile()).Records,
                                                  TileRecords::Access::Write);
    } catch (const Exception& error) {
        tell(error.Message());
    }
}

FetchedTiles::~FetchedTiles() = default;

void FetchedTiles::Save(int x, int y, std::string_view bytes, const SourceFetcher& fetcher) {
    const std::string path = m_task.TilePath(x, y);
    ReplaceFile(path, bytes, Flush::Later, Writer::LockHolder);
    m_batch.Add(path);
    if (m_records)
        m_records->Put(fetcher.Record(x, y, 0, std::nullopt));
}

void FetchedTiles::Commit(const std::function<void()>& then) {
    m_batch.Commit({[this] {
                        if (m_records)
                            m_records->Commit();
                    },
                    then});
}

} // namespace quarrow
