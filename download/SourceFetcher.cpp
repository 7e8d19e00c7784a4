#include "SourceFetcher.h"

#include <chrono>
#include <utility>

#include "engine/HttpDate.h"
#include "base/TextRules.h"
#include "store/TileFile.h"
#include "ClientErrors.h"
#include "ServiceRules.h"
#include "httpclient.h"

namespace quarrow {

SourceFetcher::SourceFetcher(const DownloadTask& task, TIdHTTP& client, int slot, Waits waits,
                             Check check, GetFunction get)
    : m_task(task), m_client(client), m_slot(slot), m_waits(std::move(waits)),
      m_check(check == Check::Always || task.Params->Source.has_value()),
      m_get(get ? std::move(get)
                : [](TIdHTTP& asker, const std::string& url, std::string& buffer) {
                      asker.Get(url, buffer);
                  }),
      m_custom(task.Params->Source.has_value()) {}

bool SourceFetcher::Wait(int milliseconds) {
    if (m_waits.Stopped())
        return false;
    if (milliseconds > 0)
        m_waits.Sleep(milliseconds);
    return !m_waits.Stopped();
}

void SourceFetcher::Get(const std::string& url, std::string& buffer) {
    if (std::exchange(m_paceOwed, false) && !Wait(m_task.Params->Source->TileDelayMs))
        throw FetchStopped{};
    // A tile's answers that ask to wait count across its attempts.
    if (url != m_url) {
        m_url = url;
        m_serviceWaits = 0;
    }
    for (;;) {
        // No request of a custom source's goes out after a stop.
        if (m_custom && m_waits.Stopped())
            throw FetchStopped{};
        // Another asker may have been asked to wait: so is this one. A pause this asker has
        // waited out once is over for it.
        if (const auto until = m_task.Pause.Until(); m_custom && until > m_waitedUntil) {
            const auto left = until - ServicePause::Clock::now();
            const int milliseconds =
                left.count() > 0
                    ? static_cast<int>(
                          std::chrono::ceil<std::chrono::milliseconds>(left).count())
                    : 0;
            if (!Wait(milliseconds))
                throw FetchStopped{};
            m_waitedUntil = until;
        }
        // A failed attempt may have left part of a body behind.
        buffer.clear();
        try {
            m_get(m_client, url, buffer);
        } catch (const EIdProtocolReplyError& error) {
            // Not a failure of the tile: the service asks every asker to come back later.
            if (m_custom && AsksToWait(error.ReplyErrorCode) &&
                ++m_serviceWaits < MaxServiceWaits && !m_waits.Stopped()) {
                PauseForService(error.ReplyErrorCode);
                continue;
            }
            throw;
        }
        if (m_check)
            if (const auto fault = m_task.TileFault(buffer))
                throw Exception(*fault);
        return;
    }
}

void SourceFetcher::Answered() {
    if (!m_custom)
        return;
    m_task.Pause.EndBackoffs();
    m_url.clear();
    // Kept before the next request, so that a run ends as soon as its last tile is in.
    m_paceOwed = m_task.Params->Source->TileDelayMs > 0;
}

void SourceFetcher::PauseForService(int status) {
    std::optional<int> seconds;
    for (const auto& [name, value] : m_client.ResponseHeaders)
        if (EqualsNoCase(name, "Retry-After"))
            seconds = RetryAfterSeconds(value, std::chrono::system_clock::now());
    if (!seconds)
        seconds = BackoffSeconds(m_task.Pause.NextBackoff());
    // One asker tells of a pause: the one that made it longer.
    if (m_task.Pause.PauseUntil(ServicePause::Clock::now() + std::chrono::seconds(*seconds)))
        m_waits.Tell(PauseLine(m_slot, *seconds, status));
}

TileRecord SourceFetcher::Record(int x, int y, std::int64_t pass,
                                 const std::optional<TileRecord>& before) const {
    const std::int64_t now = SecondsNow();
    TileRecord record{x, y, now, FreshUntil(m_client.ResponseHeaders, now), {}, {}, pass};
    std::tie(record.ETag, record.LastModified) = ValidatorsOf(m_client.ResponseHeaders);
    // A 304 may say nothing new: the tile keeps what it had.
    if (before && record.ETag.empty() && record.LastModified.empty()) {
        record.ETag = before->ETag;
        record.LastModified = before->LastModified;
    }
    return record;
}

} // namespace quarrow
