// Work that must not freeze a window (a flush, a second ask of tiles) on a thread of its own,
// while the window's thread goes on processing its events.
#pragma once

#include <functional>

#include <QEventLoop>

// Runs the work on a thread of its own and processes the events the flags allow meanwhile;
// returns when it is done, throwing what it threw.
void RunOffUi(const std::function<void()>& work, QEventLoop::ProcessEventsFlags events);
