// The background pass over a whole task: first the counts of present, blank and missing tiles
// (file sizes only), then the overview picture built from downscaled tiles.
#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>

#include <QImage>

#include "ViewerTask.h"
#include "mapview/ViewGeometry.h"

namespace quarrow::viewer {

// Fills the overview (grid.Width x grid.Height, already cleared) tile by tile; publish is
// called now and then with the picture so far. Returns false when stopped.
bool BuildOverview(const ViewerTask& task, const std::string& blank, const OverviewGrid& grid,
                   QImage& overview, std::stop_token stop,
                   const std::function<void(const QImage&)>& publish = {});

// The colour of the overview where a tile is missing.
inline constexpr unsigned MissingColour = 0xffd9d9d9;

class TaskScanner {
public:
    // Called on the scanner's thread; finished tells the last call of each.
    struct Callbacks {
        std::function<void(const TileCounts&, bool finished)> Counted;
        std::function<void(const QImage&, bool finished)> Overview;
    };

    TaskScanner(std::shared_ptr<const ViewerTask> task, std::string blank, Callbacks callbacks);
    // Stops within one tile and joins.
    ~TaskScanner() = default;
    TaskScanner(const TaskScanner&) = delete;
    TaskScanner& operator=(const TaskScanner&) = delete;

private:
    void Run(std::stop_token stop);

    std::shared_ptr<const ViewerTask> m_task;
    std::string m_blank;
    Callbacks m_callbacks;
    std::jthread m_thread; // last: it stops and joins before the members it uses go
};

} // namespace quarrow::viewer
