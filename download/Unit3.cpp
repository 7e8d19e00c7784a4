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

#include "../engine/Exception.h"
#include "../engine/FileReplacer.h"
#include "../engine/HttpDate.h"
#include "../engine/ImageHeader.h"
#include "../engine/Locations.h"
#include "../engine/TextFile.h"
#include "../engine/TextRules.h"
#include "FailedTileList.h"
#include "FailureTexts.h"
#include "ServiceRules.h"
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

enum class Outcome { Refused, NetworkDown, Blank, Failed, FailedBare };

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
    {{failure::Status404, failure::Status400, failure::Status500}, false, 1000, Outcome::Blank},
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

// A custom source's lines go to the host without waiting for its thread: they keep their order,
// and WorkerDone, which is waited for, comes after them all. The built-in source's wait for each.
void TDownThread::SendLog(std::string line) {
    if (Task->Params->Source) {
        m_host.Post([&host = m_host, line = std::move(line)] { host.AppendLogLine(line); });
        return;
    }
    LogLine = std::move(line);
    AddLogLine();
}

void TDownThread::SendFailed(std::string line) {
    if (Task->Params->Source) {
        m_host.Post([&host = m_host, line = std::move(line)] { host.AppendFailedLine(line); });
        return;
    }
    LogLine = std::move(line);
    AddFailedLine();
}

// Every way out, an unexpected error included, ends with the finished line and WorkerDone: the
// monitor closes the task only when every worker has lowered the count.
void TDownThread::Execute(std::stop_token stop) {
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
        Walk(stop);
    } catch (const std::exception& error) {
        if (Task->Params->Update)
            ++Task->Counts.WorkersGaveUp;
        try {
            SendLog(Tag() + " " + error.what());
        } catch (...) {
        }
    } catch (...) {
    }
    Client.reset();
    try {
        SendLog(Tag() + " Finished.");
    } catch (...) {
    }
    try {
        WorkerDone();
    } catch (...) {
    }
}

void TDownThread::Walk(const std::stop_token& stop) {
    const TaskParams& params = *Task->Params;
    if (params.UseProxy) {
        const std::optional<int> port = ParseInteger(params.ProxyPort);
        if (!port) {
            SendLog(Tag() + " Proxy port '" + params.ProxyPort + "' is not a valid integer value");
            return;
        }
        Client->ProxyServer = params.ProxyServer;
        Client->ProxyPort = *port;
        Client->ProxyUsername = params.ProxyUsername;
        Client->ProxyPassword = params.ProxyPassword;
    }
    if (params.Source)
        ApplySourceRules(*Client, *params.Source, params.CaFile);
    m_blankImagePath = BlankImagePath(m_host.ExecutableFolder(), Task->TileExtension());
    if (params.Update)
        m_records = std::make_unique<TileRecords>(TileRecords::PathFor(Task->ProjectFile()),
                                                  TileRecords::Access::Read);
    const int resumePoint = Task->ResumePoint(ThreadIndex);
    // No wait begins after a stop: the loop below ends at once then. A custom source without a
    // wait of its own starts every worker at once.
    if (!stop.stop_requested() && !(params.Source && params.Source->TileDelayMs == 0))
        m_host.Sleep(ThreadIndex * StartStepMs);

    const int workerCount = std::max(1, params.ThreadCount); // never a division by zero
    int sequenceNumber = 0;
    for (int x = Task->MinX; x <= Task->MaxX; ++x) {
        for (int y = Task->MinY; y <= Task->MaxY; ++y) {
            if (stop.stop_requested())
                return;
            ++sequenceNumber;
            // A shape's task fetches only the tiles the shape covers.
            if (sequenceNumber <= resumePoint ||
                !DownloadTask::IsWorkersTile(sequenceNumber, workerCount, ThreadIndex) ||
                !Task->Covers(x, y))
                continue;
            // An update asks only for the tiles its rules name.
            if (params.Update) {
                m_record = m_records->Find(x, y);
                m_held = LookAtTileFile(Task->TilePath(x, y));
                const auto written = m_held ? std::optional(m_held->Written) : std::nullopt;
                if (!UpdateAsks(*params.Update, m_record, written, SecondsNow()))
                    continue;
            }
            if (FetchTile(x, y, sequenceNumber, stop) == Next::Leave) {
                if (params.Update && !stop.stop_requested())
                    ++Task->Counts.WorkersGaveUp;
                return;
            }
        }
    }
}

TDownThread::Next TDownThread::FetchTile(int x, int y, int sequenceNumber,
                                         const std::stop_token& stop) {
    const std::string url = Task->TileUrl(x, y);
    const std::optional<TileSource>& source = Task->Params->Source;
    if (source && std::exchange(m_paceBeforeNext, false) && source->TileDelayMs > 0) {
        m_host.Sleep(source->TileDelayMs);
        if (stop.stop_requested())
            return Next::Leave;
    }
    std::string buffer;
    int serviceWaits = 0;
    const bool updating = Task->Params->Update.has_value();
    if (updating) {
        ++Task->Counts.Checked;
        if (m_held)
            Task->Counts.BytesHeld += static_cast<long long>(m_held->Size);
    }
    // Asked with the validators the tile was saved with; heard: every byte of the answers.
    Client->Conditional = updating ? ConditionalHeaders(m_record) : HeaderList();
    struct Counted {
        const DownloadTask& Task;
        const TIdHTTP& Client;
        const std::uint64_t Before = Client.BytesReceived;
        ~Counted() {
            if (Task.Params->Update)
                Task.Counts.BytesFetched += static_cast<long long>(Client.BytesReceived - Before);
        }
    } counted{*Task, *Client};
    for (int attempts = 1;; ++attempts) {
        // A failed attempt may have left part of a body behind.
        buffer.clear();
        // Another worker may have been asked to wait: so is this one. A stop during the wait
        // leaves the tile unrequested.
        if (source && !WaitForService(stop))
            return Next::Leave;
        const FailureRule* rule = nullptr;
        std::string message;
        try {
            m_get(*Client, url, buffer);
            // A service's error page or an empty body is no tile.
            if (source)
                if (const auto fault = TileImageFault(buffer, source->Format))
                    throw Exception(*fault);
        } catch (const EIdProtocolReplyError& error) {
            // An update's tile that the service has as it was.
            if (updating && error.ReplyErrorCode == 304)
                return KeepTile(x, y, sequenceNumber, false, stop);
            message = error.Message();
            rule = &Classify(message);
            // Not a failure of the tile: the service asks every worker to come back later.
            if (source && AsksToWait(error.ReplyErrorCode)) {
                if (++serviceWaits < MaxServiceWaits && !stop.stop_requested()) {
                    PauseForService(error.ReplyErrorCode);
                    --attempts;
                    continue;
                }
                attempts = UsualAttempts; // the last such answer ends the tile
            }
        } catch (const ECertificateRefused& error) {
            // The service refuses this client as a 403 does, for every tile alike: the worker
            // gives up, its position stays, no blank is written and nothing is listed, so a
            // resume with the right CA file fetches the tiles. The task tells it once.
            if (!Task->CertificateRefusalTold.exchange(true))
                SendLog(error.Message());
            return Next::Leave;
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
        bool retry = !stop.stop_requested() && rule != &NotRetried &&
                     attempts < (rule->AlwaysRetried ? AlwaysRetriedAttempts : UsualAttempts);
        if (retry && rule->RetryWaitMs > 0) {
            m_host.Sleep(rule->RetryWaitMs);
            retry = !stop.stop_requested();
        }
        if (retry)
            continue;

        // A request that the stop cut after its grace ends as failed, whatever its kind.
        Outcome outcome = rule->Last;
        if (Client->CutReached() && outcome != Outcome::FailedBare)
            outcome = Outcome::Failed;

        std::string().swap(buffer);
        const std::string errorLine = Tag() + " " + message + "->" + url;
        switch (outcome) {
        case Outcome::Refused:
            GiveUp(errorLine, x, y, url);
            SendLog(std::string(failure::BannedLine));
            return Next::Leave;
        case Outcome::NetworkDown:
            GiveUp(errorLine, x, y, url);
            SendLog(std::string(failure::NetworkLine));
            return Next::Leave;
        case Outcome::Blank:
            // An update keeps the tile it has: a map rather than a blank. Only a 404 says the
            // service has it no more; after another error the tile is listed for a later fetch.
            if (updating && m_held) {
                if (failure::Holds(message, failure::Status404))
                    return KeepTile(x, y, sequenceNumber, true, stop);
                GiveUp(errorLine, x, y, url);
                return Next::Continue;
            }
            SendLog(std::string(failure::NotGotLead) + message);
            PutBlank(x, y);
            return Next::Continue;
        case Outcome::Failed:
            GiveUp(errorLine, x, y, url);
            PutBlank(x, y);
            return Next::Continue;
        case Outcome::FailedBare:
            GiveUp(Task->TileFileName(x, y) + ":failed ->" + url, x, y, url);
            PutBlank(x, y);
            return Next::Continue;
        }
        return Next::Continue;
    }
}

bool TDownThread::WaitForService(const std::stop_token& stop) {
    const auto now = ServicePause::Clock::now();
    const auto until = Task->Pause.Until();
    if (until > now && !stop.stop_requested())
        m_host.Sleep(
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
    return !stop.stop_requested();
}

void TDownThread::PauseForService(int status) {
    std::optional<int> seconds;
    for (const auto& [name, value] : Client->ResponseHeaders)
        if (EqualsNoCase(name, "Retry-After"))
            seconds = RetryAfterSeconds(value, std::chrono::system_clock::now());
    if (!seconds)
        seconds = BackoffSeconds(Task->Pause.NextBackoff());
    // One worker tells of a pause: the one that made it longer.
    if (Task->Pause.PauseUntil(ServicePause::Clock::now() + std::chrono::seconds(*seconds)))
        SendLog(PauseLine(ThreadIndex, *seconds, status));
}

TDownThread::Next TDownThread::SaveTile(int x, int y, int sequenceNumber, const std::string& url,
                                        std::string& buffer, const std::stop_token& stop) {
    const std::string path = Task->TilePath(x, y);
    // An update's tile that came whole but as it was (one saved before records were kept) stays.
    if (Task->Params->Update && m_held && m_held->Size == buffer.size()) {
        std::string held;
        if (ReadWholeFile(path, held) && held == buffer)
            return KeepTile(x, y, sequenceNumber, false, stop);
    }
    try {
        ReplaceFile(path, buffer);
    } catch (const Exception& error) {
        // The worker cannot go on writing tiles; the tile stays listed for a later fetch.
        GiveUp(Tag() + " " + error.Message() + "->" + url, x, y, url);
        return Next::Leave;
    }
    std::string().swap(buffer);
    // A custom source's tiles, and every update's, are recorded with what they came with.
    if (Task->Params->Source || Task->Params->Update) {
        Record(x, y, path);
        if (Task->Params->Update)
            ++Task->Counts.Changed;
    }
    SendLog(Tag() + ":seq=" + std::to_string(sequenceNumber) + "," + Task->TileFileName(x, y) +
            " OK");
    SetLastPosition(x, y);
    Pace(stop);
    return Next::Continue;
}

void TDownThread::Pace(const std::stop_token& stop) {
    if (Task->Params->Source) {
        Task->Pause.EndBackoffs();
        // A custom source's pace is kept before the next request, so that the task ends as soon
        // as its last tile is in.
        m_paceBeforeNext = true;
    } else if (!stop.stop_requested()) {
        // After a stop the worker leaves without the wait.
        m_host.Sleep(AfterSavedMs);
    }
}

void TDownThread::Record(int x, int y, const std::string& path) {
    const std::int64_t now = SecondsNow();
    TileRecord record{x, y, now, FreshUntil(Client->ResponseHeaders, now), {}, {},
                      Task->Params->Update ? Task->Params->Update->Pass : 0};
    std::tie(record.ETag, record.LastModified) = ValidatorsOf(Client->ResponseHeaders);
    // A 304 may say nothing new: the tile keeps what it had.
    if (m_record && record.ETag.empty() && record.LastModified.empty()) {
        record.ETag = m_record->ETag;
        record.LastModified = m_record->LastModified;
    }
    // The file's time is the tile's own, as download tools set it.
    if (const auto modified = ParseHttpDate(record.LastModified))
        SetTileFileTime(path, *modified);
    m_host.Post([&host = m_host, record] { host.RecordTile(record); });
}

TDownThread::Next TDownThread::KeepTile(int x, int y, int sequenceNumber, bool gone,
                                        const std::stop_token& stop) {
    ++(gone ? Task->Counts.Gone : Task->Counts.Unchanged);
    SendLog(Tag() + ":seq=" + std::to_string(sequenceNumber) + "," + Task->TileFileName(x, y) +
            (gone ? " gone from the service" : " unchanged"));
    // Checked now, so that a resumed update does not ask again.
    Record(x, y, Task->TilePath(x, y));
    SetLastPosition(x, y);
    Pace(stop);
    return Next::Continue;
}

// The error line and the tile's entry in the failure pane.
void TDownThread::GiveUp(const std::string& firstLine, int x, int y, const std::string& url) {
    if (Task->Params->Update)
        ++Task->Counts.Failed;
    SendLog(firstLine);
    SendFailed(FailureEntryLine(Task->TilePath(x, y), url));
}

// The blank image stands in for the tile unless a file is there already; a failed copy (no blank
// image, say) is not reported.
void TDownThread::PutBlank(int x, int y) {
    std::error_code ignored;
    std::filesystem::copy_file(m_blankImagePath, Task->TilePath(x, y),
                               std::filesystem::copy_options::none, ignored);
    SendLog(Tag() + ":" + std::to_string(x) + "-" + std::to_string(y) + " got a blank image!");
    SetLastPosition(x, y);
}

} // namespace quarrow
