#include "TaskMaker.h"

#include <cmath>
#include <memory>
#include <numbers>

#include "TempDir.h"
#include "engine/Unitclasstask.h"

namespace quarrow::test {

double Lon(int x, int z) {
    return x / std::pow(2.0, z) * 360 - 180;
}

double Lat(int y, int z) {
    return std::atan(std::sinh(std::numbers::pi * (1 - 2 * y / std::pow(2.0, z)))) * 180 /
           std::numbers::pi;
}

std::shared_ptr<TaskParams> TaskParamsOf(const std::string& folder, const std::string& name,
                                         int zoom, double left, double right, double top,
                                         double bottom, int mapsType) {
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = left;
    params->RightLongitude = right;
    params->TopLatitude = top;
    params->BottomLatitude = bottom;
    params->Zoom = zoom;
    params->MapsType = mapsType;
    params->SavePath = folder;
    params->ProjectName = name;
    return params;
}

std::string WriteTask(const std::string& folder, const std::string& name, int zoom, int x0, int y0,
                      int columns, int rows, const std::function<std::string(int x, int y)>& tile,
                      std::optional<TileSource> source) {
    auto params = TaskParamsOf(folder, name + ".zav", zoom, Lon(x0, zoom) + 1e-9,
                               Lon(x0 + columns, zoom) - 1e-9, Lat(y0, zoom) - 1e-9,
                               Lat(y0 + rows, zoom) + 1e-9);
    params->Source = std::move(source);
    const DownloadTask task(params);
    task.WriteProjectFile();
    for (int x = x0; x < x0 + columns; ++x)
        for (int y = y0; y < y0 + rows; ++y)
            if (const std::string bytes = tile(x, y); !bytes.empty())
                WriteFileBytes(task.TilePath(x, y), bytes);
    return task.ProjectFile();
}

} // namespace quarrow::test
