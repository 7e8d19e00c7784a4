// The one owner of what a run has written and not yet made durable, and the one order in which it
// is made so: the tiles first, then whatever counts them (records, lists, positions). A power cut
// then costs tiles that nothing counts yet, which a later run asks for again; never a count of a
// tile that is not on the disk.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "base/Exception.h"

namespace quarrow {

// What a commit says when the tiles did not reach the disk: the run stops as on a full disk.
inline constexpr std::string_view TilesNotSavedLead = "The tiles could not be saved to disk: ";

// Flushes the files (each of them in the folder or below it) and the folders that name them; the
// reason when any of it failed. The one flush rule: many files with one syncfs where the file
// system honours it, else file by file (a few files, or FUSE, NFS, SMB/CIFS, where syncfs does not
// reach the data).
std::optional<std::string> FlushWritten(const std::string& folder,
                                        const std::vector<std::string>& paths);

class TileBatch {
public:
    using Flusher = std::function<std::optional<std::string>(const std::string& folder,
                                                             const std::vector<std::string>&)>;

    // The files go in the folder (or below it); flusher replaces FlushWritten for tests.
    explicit TileBatch(std::string folder, Flusher flusher = FlushWritten);

    // A file written without its own flush (Flush::Later).
    void Add(std::string path) { m_paths.push_back(std::move(path)); }
    bool Empty() const noexcept { return m_paths.empty(); }

    // Flushes what was added since the last commit, then runs the steps in order. When the flush
    // fails no step runs, and none of any later commit either: a file system that failed a flush
    // may have lost what it then calls flushed. Throws an Exception led by TilesNotSavedLead.
    void Commit(std::initializer_list<std::function<void()>> steps = {});
    // The files added since the last commit, as a batch of their own that commits them as this
    // one would (on another thread, say); Merge takes back what its commit found.
    TileBatch Take();
    void Merge(const TileBatch& committed);
    // The reason of the failed flush; none while every flush succeeded.
    const std::optional<std::string>& Failure() const noexcept { return m_failure; }

private:
    std::string m_folder;
    Flusher m_flusher;
    std::vector<std::string> m_paths;
    std::optional<std::string> m_failure;
};

} // namespace quarrow
