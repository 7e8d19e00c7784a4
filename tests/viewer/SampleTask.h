// A small real task for the viewer's tests and pictures: written by the engine, its tiles drawn
// by the local tile service, a few of them missing and one the blank image.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace quarrow::test {

struct SampleTask {
    std::string ProjectFile;
    std::vector<std::pair<int, int>> Missing;
    std::pair<int, int> Blank;
};

// The task of the area 116.3..116.5 east, 40.0..39.8 north at zoom 13 (columns 6742..6747, rows
// 3101..3107, 42 tiles) in folder (ending in "/"). Needs a QGuiApplication.
SampleTask WriteSampleTask(const std::string& folder, const std::string& blankBytes);

} // namespace quarrow::test
