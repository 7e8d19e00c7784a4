// The download worker: walks the task's tiles in column order, fetches its share, tells request
// failures apart by their message text and reports every outcome to the panes through the UI.
#include "Unit3.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <sys/stat.h>

#include "base/Exception.h"
#include "store/FileReplacer.h"
#include "engine/HttpDate.h"
#include "engine/ImageHeader.h"
#include "engine/Locations.h"
#include "store/TextFile.h"
#include "base/TextRules.h"
#include "FailedTileList.h"
#include "FailureTexts.h"
#include "ServiceRules.h"
#include "SourceFetcher.h"
#include "Tls.h"

namespace quarrow {

namespace {

// Attempts a tile gets at most when the answers are neither resets nor "address in use".
constexpr int UsualAttempts = 3;
// Resets and "address in use" are retried past UsualAttempts. This bound, and a stop request, keep
// a server that resets every connection from holding a worker (and so the task) for ever.
constexpr int AlwaysRetriedAttempts = 10;

constexpr int StartStepMs = 100;
constexpr int AfterSavedMs = 1000;

enum class Outcome { Refused, NetworkDown, Blank, ServiceError, Failed, FailedBare };

struct FailureRule {
    std::array<std::string_view, 3> Markers; // any of them, case-sensitive; empty ones unused
    bool AlwaysRetried;
    int RetryWaitMs; // 0: retried at once, without a wait
    Outcome Last;
};

// First matching row wins, so the order is part of the rule.
// clang-format off
//   markers                                               always  wait  after the last attempt
const FailureRule Rules[] = {
    {{failure::Reset, failure::ClosedGracefully},           true,     0, Outcome::Failed},
    {{failure::AddressInUse},                               true,  8000, Outcome::Failed},
    {{failure::Status302, failure::Status403},              false, 1000, Outcome::Refused},
    {{failure::SocketError},                                false, 2000, Outcome::NetworkDown},
    {{failure::Status404, failure::Status400},              false, 1000, Outcome::Blank},
    {{failure::Status500},                                  false, 1000, Outcome::ServiceError},
};
// clang-format on
const FailureRule OtherError{{}, false, 1000, Outcome::Failed};
// A failure that another attempt would meet again (a redirect that is not followed).
const FailureRule NotRetried{{}, false, 0, Outcome::Failed};
const FailureRule NoMessage{{}, false, 1000, Outcome::FailedBare};

const FailureRule& Classify(const std::string& message) {
    for (const FailureRule& rule : Rules) {
        for (std::string_view marker : rule.Markers) {
            if (!marker.empty() && failure::Holds(message, marker))
                return rule;
        }
    }
    return OtherError;
}

std::uint64_t PackPosition(int x, int y) noexcept {
    return (std::uint64_t{static_cast<std::uint32_t>(x)} << 32) | static_cast<std::uint32_t>(y);
}

} // namespace

TDownThread::TDownThread(int threadIndex, std::shared_ptr<const DownloadTask> task,
                         WorkerHost& host)
    : TDownThread(threadIndex, std::move(task), host,
                  [](TIdHTTP& client, const std::string& url, std::string& buffer) {
                      client.Get(url, buffer);
                  }) {}

TDownThread::TDownThread(int threadIndex, std::shared_ptr<const DownloadTask> task,
                         WorkerHost& host, GetFunction get)
    : Task(std::move(task)), ThreadIndex(threadIndex), m_host(host), m_get(std::move(get)),
      m_custom(Task->Params->Source.has_value()),
      m_update(Task->Params->Update ? &*Task->Params->Update : nullptr),
      m_thread([this](std::stop_token stop) { Execute(std::move(stop)); }) {}

TDownThread::~TDownThread() {
    if (m_thread.joinable())
        m_thread.join();
}

void TDownThread::Terminate() noexcept {
    m_thread.request_stop();
}

bool TDownThread::Terminated() const noexcept {
    return m_thread.get_stop_token().stop_requested();
}

std::pair<int, int> TDownThread::LastPosition() const noexcept {
    const std::uint64_t packed = m_lastPosition.load();
    return {static_cast<int>(static_cast<std::uint32_t>(packed >> 32)),
            static_cast<int>(static_cast<std::uint32_t>(packed))};
}

std::vector<std::pair<int, int>>
PositionsOf(std::span<const std::unique_ptr<TDownThread>> workers) {
    std::vector<std::pair<int, int>> positions;
    positions.reserve(workers.size());
    for (const auto& worker : workers)
        positions.push_back(worker ? worker->LastPosition() : std::pair<int, int>{0, 0});
    return positions;
}

void TDownThread::SetLastPosition(int x, int y) noexcept {
    m_lastPosition.store(PackPosition(x, y));
}

std::string TDownThread::Tag() const {
    return "T" + std::to_string(ThreadIndex + 1);
}

void TDownThread::AddLogLine() {
    m_host.Synchronize([this] { m_host.AppendLogLine(LogLine); });
}

void TDownThread::AddFailedLine() {
    m_host.Synchronize([this] { m_host.AppendFailedLine(LogLine); });
}

void TDownThread::WorkerDone() {
    m_host.Synchronize([this] { m_host.LowerRunningWorkers(); });
}

void TDownThread::SendLog(std::string line, const TileEvent* event) {
    Send(&WorkerHost::AppendLogLine, std::move(line), event);
}

void TDownThread::SendFailed(std::string line, const TileEvent* event) {
    Send(&WorkerHost::AppendFailedLine, std::move(line), event);
}

// A custom source's lines go to the host without waiting for its thread: they keep their order,
// and WorkerDone, which is waited for, comes after them all. The built-in source's wait for each.
void TDownThread::Send(void (WorkerHost::*append)(const std::string&), std::string line,
                       const TileEvent* event) {
    if (m_custom) {
        m_host.Post([&host = m_host, append, line = std::move(line),
                     event = event ? std::optional(*event) : std::nullopt] {
            (host.*append)(line);
            if (event)
                host.TileEnded(*event);
        });
        return;
    }
    LogLine = std::move(line);
    if (!event) {
        append == &WorkerHost::AppendLogLine ? AddLogLine() : AddFailedLine();
        return;
    }
    m_host.Synchronize([this, append, event] {
        (m_host.*append)(LogLine);
        m_host.TileEnded(*event);
    });
}

// Every way out, an unexpected error included, ends with the finished line and WorkerDone: the
// monitor closes the task only when every worker has lowered the count.
void TDownThread::Execute(std::stop_token stop) {
    WorkerEndEvent end{ThreadIndex, WorkerEnd::Stopped, {}};
    try {
        Client = std::make_unique<TIdHTTP>();
        // After a stop, a request in flight may go on for the grace; then it is cut and its tile
        // fails. The callback runs on the thread that asks for the stop (at once here when it
        // already has) and sets the time of the cut, which the client's waits look at. Gone
        // before Client is destroyed.
        const std::chrono::milliseconds grace = m_host.StopGrace();
        const std::stop_callback cutAfterGrace(stop, [client = Client.get(), grace] {
            client->CutAt(std::chrono::steady_clock::now() + grace);
        });
        end = Walk(stop);
    } catch (const std::exception& error) {
        end = {ThreadIndex, WorkerEnd::Fault, error.what()};
        try {
            SendLog(Tag() + " " + error.what());
        } catch (...) {
        }
    } catch (...) {
        end = {ThreadIndex, WorkerEnd::Fault, "an unknown error"};
    }
    end.Skipped = m_skipped; // however the walk ended
    m_fetcher.reset();
    Client.reset();
    try {
        SendLog(Tag() + " Finished.");
    } catch (...) {
    }
    try {
        m_host.Synchronize([this, &end] {
            m_host.WorkerEnded(end);
            m_host.LowerRunningWorkers();
        });
    } catch (...) {
    }
}

WorkerEndEvent TDownThread::Walk(const std::stop_token& stop) {
    const TaskParams& params = *Task->Params;
    const WorkerEndEvent stopped{ThreadIndex, WorkerEnd::Stopped, {}};
    if (params.UseProxy) {
        const std::optional<int> port = ParseInteger(params.ProxyPort);
        if (!port) {
            std::string message = "Proxy port '" + params.ProxyPort + "' is not a valid integer value";
            SendLog(Tag() + " " + message);
            return {ThreadIndex, WorkerEnd::Fault, std::move(message)};
        }
        Client->ProxyServer = params.ProxyServer;
        Client->ProxyPort = *port;
        Client->ProxyUsername = params.ProxyUsername;
        Client->ProxyPassword = params.ProxyPassword;
    }
    if (m_custom)
        ApplySourceRules(*Client, *params.Source, params.CaFile);
    m_fetcher.emplace(
        *Task, *Client, ThreadIndex,
        SourceFetcher::Waits{[this](int milliseconds) { m_host.Sleep(milliseconds); },
                             [stop] { return stop.stop_requested(); },
                             [this](const std::string& line) { SendLog(line); }},
        // An update never puts a service's error page in place of a good tile.
        m_update ? SourceFetcher::Check::Always : SourceFetcher::Check::Source,
        [this](TIdHTTP& client, const std::string& url, std::string& buffer) {
            m_get(client, url, buffer);
        });
    m_blankImagePath = BlankImagePath(m_host.ExecutableFolder(), Task->TileExtension());
    if (m_update)
        m_records = std::make_unique<TileRecords>(TaskFilesOf(Task->ProjectFile()).Records,
                                                  TileRecords::Access::Read);
    const int resumePoint = CheckedResumePoint(Task->ResumePoint(ThreadIndex));
    // No wait begins after a stop: the loop below ends at once then. A custom source without a
    // wait of its own starts every worker at once.
    if (!stop.stop_requested() && !(m_custom && params.Source->TileDelayMs == 0))
        m_host.Sleep(ThreadIndex * StartStepMs);

    const int workerCount = std::max(1, params.ThreadCount); // never a division by zero
    int sequenceNumber = 0;
    for (int x = Task->MinX; x <= Task->MaxX; ++x) {
        for (int y = Task->MinY; y <= Task->MaxY; ++y) {
            if (stop.stop_requested())
                return stopped;
            ++sequenceNumber;
            // A shape's task fetches only the tiles the shape covers.
            if (sequenceNumber <= resumePoint ||
                !DownloadTask::IsWorkersTile(sequenceNumber, workerCount, ThreadIndex) ||
                !Task->Covers(x, y))
                continue;
            // An update asks only for the tiles its rules name.
            if (m_update) {
                const std::string path = Task->TilePath(x, y);
                m_record = m_records->Find(x, y);
                m_held = LookAtTileFile(path);
                m_broken = !m_held || m_held->Size == 0 || !WholeTile(path, *m_held);
                if (m_broken) {
                    m_record.reset(); // asked without validators, as a download asks
                } else if (const auto skip =
                               UpdateSkips(*m_update, m_record, m_held->Written, SecondsNow())) {
                    ++m_skipped[static_cast<std::size_t>(*skip)];
                    continue;
                }
            }
            FetchTile(x, y, sequenceNumber, stop);
            if (m_leave)
                return *m_leave;
        }
    }
    return {ThreadIndex, WorkerEnd::Walked, {}};
}

int TDownThread::CheckedResumePoint(int resumePoint) const {
    const TaskParams& params = *Task->Params;
    const int workers = std::max(1, params.ThreadCount);
    // The tiles a worker saves between two saves of the positions, and a margin.
    const int delay = m_custom ? std::max(1, params.Source->TileDelayMs) : AfterSavedMs;
    const int back = std::clamp(5000 / delay + 8, 8, 4096);
    int earliestLost = 0;
    int looked = 0;
    for (int seq = resumePoint; seq >= 1 && looked < back; --seq) {
        if (!DownloadTask::IsWorkersTile(seq, workers, ThreadIndex))
            continue;
        const auto [x, y] = Task->TileAt(seq);
        if (!Task->Covers(x, y))
            continue;
        ++looked;
        // A missing tile is left as the resume has it: only a name whose bytes were lost.
        const std::string path = Task->TilePath(x, y);
        const std::optional<TileFile> file = LookAtTileFile(path);
        if (!file || !file->Regular)
            continue;
        if (file->Size == 0 || (m_custom && !WholeTile(path, *file)))
            earliestLost = seq;
    }
    return earliestLost > 0 ? earliestLost - 1 : resumePoint;
}

bool TDownThread::WholeTile(const std::string& path, const TileFile& file) const {
    if (!file.Regular || file.Size > MaxTileFileSize)
        return false;
    std::string bytes;
    return ReadWholeFile(path, bytes, MaxTileFileSize) && !Task->TileFault(bytes);
}

TileEvent TDownThread::EventOf(int x, int y, TileOutcome outcome, std::string message) const {
    TileEvent event{x, y, outcome, std::move(message), {}, {}, {}};
    event.BytesReceived = static_cast<long long>(Client->BytesReceived - m_receivedBefore);
    if (m_update && m_held)
        event.BytesHeld = static_cast<long long>(m_held->Size);
    return event;
}

std::optional<TileOutcome> TDownThread::FetchTile(int x, int y, int sequenceNumber,
                                                  const std::stop_token& stop) {
    const std::string url = Task->TileUrl(x, y);
    const WorkerEndEvent stopped{ThreadIndex, WorkerEnd::Stopped, {}};
    std::string buffer;
    m_receivedBefore = Client->BytesReceived;
    // Asked with the validators the tile was saved with.
    Client->Conditional = m_update ? ConditionalHeaders(m_record) : HeaderList();
    for (int attempts = 1;; ++attempts) {
        const FailureRule* rule = nullptr;
        std::string message;
        try {
            m_fetcher->Get(url, buffer);
        } catch (const FetchStopped&) {
            // A stop during a wait of the source's leaves the tile unrequested.
            m_leave = stopped;
            return std::nullopt;
        } catch (const EIdProtocolReplyError& error) {
            // An update's tile that the service has as it was.
            if (m_update && error.ReplyErrorCode == 304)
                return KeepTile(x, y, sequenceNumber, false, stop);
            message = error.Message();
            rule = &Classify(message);
            // The service asked to wait as often as a tile may: the last such answer ends it.
            if (m_custom && AsksToWait(error.ReplyErrorCode))
                attempts = UsualAttempts;
        } catch (const ECertificateRefused& error) {
            // The service refuses this client as a 403 does, for every tile alike: the worker
            // gives up, its position stays, no blank is written and nothing is listed, so a
            // resume with the right CA file fetches the tiles. The task tells it once.
            if (!Task->CertificateRefusalTold.exchange(true))
                SendLog(error.Message());
            m_leave = WorkerEndEvent{ThreadIndex, WorkerEnd::CertificateRefused, error.Message()};
            return std::nullopt;
        } catch (const ERefusedRedirect& error) {
            message = error.Message();
            rule = &NotRetried;
        } catch (const Exception& error) {
            message = error.Message();
            rule = &Classify(message);
        } catch (...) {
            rule = &NoMessage;
        }
        if (!rule)
            return SaveTile(x, y, sequenceNumber, url, buffer, stop);

        // No attempt starts after a stop: the failed one counts as the last, also when the stop
        // came during the wait before the retry.
        const bool due = rule != &NotRetried &&
                         attempts < (rule->AlwaysRetried ? AlwaysRetriedAttempts : UsualAttempts);
        bool retry = !stop.stop_requested() && due;
        if (retry && rule->RetryWaitMs > 0) {
            m_host.Sleep(rule->RetryWaitMs);
            retry = !stop.stop_requested();
        }
        if (retry)
            continue;

        std::string().swap(buffer);
        const std::string errorLine =
            Tag() + " " + (rule == &NoMessage ? std::string("failed") : message) + "->" + url;
        // A tile that the stop left unfinished (its request cut after the grace, or an attempt
        // that was due not made) stays as it was: no blank, no entry, no record, and its
        // position before it, so that a resume asks for it again.
        if (Client->CutReached() || (due && stop.stop_requested())) {
            const TileEvent cut = EventOf(x, y, TileOutcome::Cut, message);
            SendLog(errorLine, &cut);
            m_leave = stopped;
            return TileOutcome::Cut;
        }

        const Outcome outcome = rule->Last;
        const TileEvent failed = EventOf(x, y, TileOutcome::Failed,
                                         outcome == Outcome::FailedBare ? std::string("failed")
                                                                        : message);
        switch (outcome) {
        case Outcome::Refused:
        case Outcome::NetworkDown: {
            const TileEvent refused = EventOf(x, y, TileOutcome::Refused, message);
            GiveUp(errorLine, x, y, url);
            SendLog(std::string(outcome == Outcome::Refused ? failure::BannedLine
                                                            : failure::NetworkLine),
                    &refused);
            m_leave = WorkerEndEvent{ThreadIndex, WorkerEnd::GaveUp, message};
            return TileOutcome::Refused;
        }
        case Outcome::Blank:
        case Outcome::ServiceError:
            // An update keeps the tile it has: a map rather than a blank. Only a 404 says the
            // service has it no more; after another error the tile is listed for a later fetch.
            if (m_update && m_held && !m_broken) {
                if (failure::Holds(message, failure::Status404))
                    return KeepTile(x, y, sequenceNumber, true, stop);
                GiveUp(errorLine, x, y, url, &failed);
                return failed.Outcome;
            }
            SendLog(std::string(failure::NotGotLead) + message);
            // A service's error is no missing tile: the blank stands in, and the tile is listed
            // so that a re-download fetches it.
            if (outcome == Outcome::ServiceError) {
                SendFailed(FailureEntryLine(Task->TilePath(x, y), url));
                PutBlank(x, y, failed);
                return TileOutcome::Failed;
            }
            PutBlank(x, y, EventOf(x, y, TileOutcome::Blank));
            return TileOutcome::Blank;
        case Outcome::Failed:
            GiveUp(errorLine, x, y, url);
            PutBlank(x, y, failed);
            return failed.Outcome;
        case Outcome::FailedBare:
            GiveUp(Task->TileFileName(x, y) + ":failed ->" + url, x, y, url);
            PutBlank(x, y, failed);
            return failed.Outcome;
        }
        return failed.Outcome;
    }
}

TileOutcome TDownThread::SaveTile(int x, int y, int sequenceNumber, const std::string& url,
                                  std::string& buffer, const std::stop_token& stop) {
    const std::string path = Task->TilePath(x, y);
    // An update's tile that came whole but as it was (one saved before records were kept) stays.
    if (m_update && m_held && m_held->Size == buffer.size()) {
        std::string held;
        if (ReadWholeFile(path, held, MaxTileFileSize) && held == buffer)
            return KeepTile(x, y, sequenceNumber, false, stop);
    }
    try {
        // Flushed with the others before the position that counts it is saved.
        ReplaceFile(path, buffer, Flush::Later, Writer::LockHolder);
    } catch (const Exception& error) {
        // The worker cannot go on writing tiles; the tile stays listed for a later fetch.
        const TileEvent failed = EventOf(x, y, TileOutcome::Failed, error.Message());
        GiveUp(Tag() + " " + error.Message() + "->" + url, x, y, url, &failed);
        m_leave = WorkerEndEvent{ThreadIndex, WorkerEnd::Fault, error.Message()};
        return TileOutcome::Failed;
    }
    std::string().swap(buffer);
    TileEvent saved = EventOf(x, y, m_update ? TileOutcome::Changed : TileOutcome::Saved);
    // A custom source's tiles, and every update's, are recorded with what they came with.
    if (m_custom || m_update)
        saved.Record = Record(x, y);
    SendLog(Tag() + ":seq=" + std::to_string(sequenceNumber) + "," + Task->TileFileName(x, y) +
                " OK",
            &saved);
    SetLastPosition(x, y);
    Pace(stop);
    return saved.Outcome;
}

void TDownThread::Pace(const std::stop_token& stop) {
    if (m_custom) {
        m_fetcher->Answered();
    } else if (!stop.stop_requested()) {
        // After a stop the worker leaves without the wait.
        m_host.Sleep(AfterSavedMs);
    }
}

TileRecord TDownThread::Record(int x, int y) {
    return m_fetcher->Record(x, y, m_update ? m_update->Pass : 0, m_record);
}

TileOutcome TDownThread::KeepTile(int x, int y, int sequenceNumber, bool gone,
                                  const std::stop_token& stop) {
    TileEvent kept = EventOf(x, y, gone ? TileOutcome::Gone : TileOutcome::Unchanged);
    // Checked now, so that a resumed update does not ask again.
    kept.Record = Record(x, y);
    if (gone) {
        // A 404 says nothing of the tile that is kept: its validators stay for the next update.
        kept.Record->ETag = m_record ? m_record->ETag : std::string();
        kept.Record->LastModified = m_record ? m_record->LastModified : std::string();
        kept.Record->FreshUntil = m_record ? m_record->FreshUntil : 0;
    } else {
        // The file's time is when Quarrow last got or confirmed the tile.
        SetTileFileTime(Task->TilePath(x, y), SecondsNow());
    }
    SendLog(Tag() + ":seq=" + std::to_string(sequenceNumber) + "," + Task->TileFileName(x, y) +
                (gone ? " gone from the service" : " unchanged"),
            &kept);
    SetLastPosition(x, y);
    // No tile was saved: no wait follows, only the custom source's pace before its next request.
    if (m_custom)
        Pace(stop);
    return kept.Outcome;
}

// The error line and the tile's entry in the failure pane.
void TDownThread::GiveUp(const std::string& firstLine, int x, int y, const std::string& url,
                         const TileEvent* last) {
    SendLog(firstLine);
    SendFailed(FailureEntryLine(Task->TilePath(x, y), url), last);
}

// The blank image stands in for the tile unless a file is there already; a failed copy (no blank
// image, say) is not reported.
void TDownThread::PutBlank(int x, int y, const TileEvent& event) {
    std::error_code ignored;
    // An update's broken tile (empty, cut short) gives way, and so does an empty file that a
    // power cut left; a tile is never replaced.
    const std::string path = Task->TilePath(x, y);
    // One look at the name: a planted link is replaced, never written through.
    struct stat held {};
    if (::lstat(path.c_str(), &held) == 0 &&
        (S_ISLNK(held.st_mode) ||
         (S_ISREG(held.st_mode) && (held.st_size == 0 || (m_update && m_broken)))))
        std::filesystem::remove(path, ignored);
    std::filesystem::copy_file(m_blankImagePath, path, std::filesystem::copy_options::none,
                               ignored);
    SendLog(Tag() + ":" + std::to_string(x) + "-" + std::to_string(y) + " got a blank image!",
            &event);
    SetLastPosition(x, y);
}

} // namespace quarrow
