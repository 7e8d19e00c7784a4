// A stored task opened for a run of it: the one way the update, the blank tiles' second ask and
// any later run outside a Start read a project file and take the task.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "StartRules.h"
#include "engine/Unitclasstask.h"
#include "store/TaskLock.h"

namespace quarrow {

struct StoredTask {
    std::shared_ptr<DownloadTask> Task;
    std::unique_ptr<TaskLock> Lock; // held while the task runs
};

// How the run uses the task: it writes tiles (the tile folder is made), or only replaces files
// that are there (a task without its tile folder has none).
enum class StoredTaskUse { Run, ExistingTiles };

// The entries of the project file as a task's, with the settings' rules: its source (checked
// again), shape and tiles as stored; adjust may set what the run adds (an update's rules). The
// task's lock is taken first, which clears what a killed run left, then the task is made, its
// workers lowered to its tiles and its source's. Throws an Exception naming the file when it is no
// task's, when the source refuses it, or when the task runs elsewhere.
StoredTask OpenStoredTask(const StartSettings& settings, const std::string& projectFile,
                          StoredTaskUse use,
                          const std::function<void(TaskParams&)>& adjust = [](TaskParams&) {});

} // namespace quarrow
