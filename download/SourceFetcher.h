// A source's rules for asking its service for a task's tiles, one home for every path that asks:
// the workers, the re-download and the blank tiles' second ask. The pace of a custom source and
// the pause its service asks for (429, 503, "Retry-After") are kept per task, the answer is
// checked as a tile of the task, and what it said becomes the tile's record.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "store/TileRecords.h"
#include "engine/Unitclasstask.h"

namespace quarrow {

class TIdHTTP;

// A stop that came during a wait the source asked for: the tile was not asked.
struct FetchStopped {};

class SourceFetcher {
public:
    using GetFunction =
        std::function<void(TIdHTTP& client, const std::string& url, std::string& buffer)>;
    struct Waits {
        std::function<void(int milliseconds)> Sleep; // one call per wait
        std::function<bool()> Stopped;               // asked before and after each wait
        std::function<void(const std::string& line)> Tell; // a pause's line
    };
    // Whether an answer must be a tile of the task: a custom source's always (of its side too),
    // and wherever a good tile could be replaced by a service's error page.
    enum class Check { Source, Always };

    // Neither the task nor the client is owned; slot names the asker in a pause's line.
    SourceFetcher(const DownloadTask& task, TIdHTTP& client, int slot, Waits waits,
                  Check check = Check::Source, GetFunction get = {});

    // One request by the source's rules: after the pace owed and any pause the service asked of
    // the task; an answer that asks to wait pauses the task and asks again (MaxServiceWaits
    // answers in all; the last is thrown). Throws what the client throws, an Exception with the
    // check's fault, or FetchStopped. The buffer holds the answer's body alone.
    void Get(const std::string& url, std::string& buffer);
    // A tile came: a custom source's pace is owed before the next request, its waits grow anew.
    void Answered();
    // What the last answer said of the tile; what it does not say is kept from before.
    TileRecord Record(int x, int y, std::int64_t pass,
                      const std::optional<TileRecord>& before) const;
    bool Custom() const noexcept { return m_custom; }

private:
    // Sleeps the milliseconds unless stopped; false when stopped.
    bool Wait(int milliseconds);
    void PauseForService(int status);

    const DownloadTask& m_task;
    TIdHTTP& m_client;
    int m_slot;
    Waits m_waits;
    bool m_check;
    GetFunction m_get;
    const bool m_custom;
    bool m_paceOwed = false;
    std::string m_url;      // the tile asked last
    int m_serviceWaits = 0; // its answers that asked to wait
    ServicePause::Clock::time_point m_waitedUntil; // the end of the last pause waited out
};

} // namespace quarrow
