// A small real task for the viewer's tests and pictures.
#include "SampleTask.h"

#include <algorithm>
#include <fstream>
#include <memory>

#include "engine/Unitclasstask.h"
#include "tools/tileservice/TileRenderer.h"

namespace quarrow::test {
namespace {

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

} // namespace

SampleTask WriteSampleTask(const std::string& folder, const std::string& blankBytes) {
    auto params = std::make_shared<TaskParams>();
    params->LeftLongitude = 116.3;
    params->RightLongitude = 116.5;
    params->TopLatitude = 40.0;
    params->BottomLatitude = 39.8;
    params->Zoom = 13;
    params->MapsType = 17;
    params->SavePath = folder;
    params->ProjectName = "sample.zav";
    const DownloadTask task(params);
    task.WriteProjectFile();

    SampleTask sample;
    sample.ProjectFile = task.ProjectFile();
    sample.Missing = {{6742, 3101}, {6745, 3104}, {6745, 3105}};
    sample.Blank = {6746, 3102};
    for (int x = task.MinX; x <= task.MaxX; ++x) {
        for (int y = task.MinY; y <= task.MaxY; ++y) {
            const std::pair<int, int> tile{x, y};
            if (std::find(sample.Missing.begin(), sample.Missing.end(), tile) !=
                sample.Missing.end())
                continue;
            WriteBytes(task.TilePath(x, y),
                       tile == sample.Blank
                           ? blankBytes
                           : tileservice::RenderTilePng({tileservice::MapKind::Normal, 13, x, y}));
        }
    }
    return sample;
}

} // namespace quarrow::test
