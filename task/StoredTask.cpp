#include "StoredTask.h"

#include <algorithm>

#include "base/Exception.h"

namespace quarrow {

StoredTask OpenStoredTask(const StartSettings& settings, const std::string& projectFile,
                          StoredTaskUse use, const std::function<void(TaskParams&)>& adjust) {
    const TaskParams stored = ReadTaskParams(projectFile);
    if (stored.Source)
        if (const auto fault = CheckSourceForTask(*stored.Source, stored.Zoom))
            throw Exception(*fault);
    const std::shared_ptr<TaskParams> params = MakeTaskParams(
        settings, stored.LeftLongitude, stored.RightLongitude, stored.TopLatitude,
        stored.BottomLatitude, stored.Zoom, stored.MapsType, stored.SavePath, stored.ProjectName,
        false, stored.Source);
    params->Shape = stored.Shape;
    StoredTask opened;
    opened.Lock = std::make_unique<TaskLock>(projectFile);
    adjust(*params);
    opened.Task = use == StoredTaskUse::Run
                      ? std::make_shared<DownloadTask>(params)
                      : std::make_shared<DownloadTask>(params, DownloadTask::ReadOnly{});
    const std::optional<TileSource>& source = params->Source;
    params->ThreadCount = std::min({8, opened.Task->TileCount, source ? source->Workers : 8});
    return opened;
}

} // namespace quarrow
