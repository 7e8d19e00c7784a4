// HTTP dates are read as IMF-fixdate only (HttpDate.h), the form servers must send; anything
// else falls back to the growing waits.
#include "ServiceRules.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <ctime>
#include <string>

#include "geo/Commonfunc.h"
#include "engine/HttpDate.h"
#include "engine/ImageHeader.h"
#include "base/TextRules.h"
#include "engine/TileSource.h"
#include "FailureTexts.h"
#include "Tls.h"
#include "httpclient.h"

namespace quarrow {

namespace {

std::optional<int> Number(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

} // namespace

std::optional<int> RetryAfterSeconds(std::string_view value,
                                     std::chrono::system_clock::time_point now) {
    value = TrimBlanks(value);
    if (const std::optional<int> seconds = Number(value); seconds && *seconds >= 0)
        return std::min(*seconds, MaxRetryAfterSeconds);
    if (!value.empty() &&
        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return MaxRetryAfterSeconds; // more digits than an int holds
    const std::optional<std::time_t> date = ParseHttpDate(value);
    if (!date)
        return std::nullopt;
    // In whole seconds: a date of any year read as time_point would overflow its nanoseconds.
    const long long nowSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(now.time_since_epoch()).count();
    const long long left = static_cast<long long>(*date) - nowSeconds;
    return static_cast<int>(std::clamp<long long>(left, 0, MaxRetryAfterSeconds));
}

void ApplySourceRules(TIdHTTP& client, const TileSource& source,
                      std::shared_ptr<const TlsContext> tls) {
    client.UserAgent = UserAgentOf(source);
    client.Referer = source.Referer;
    client.Rules.KeepAliveByHost = true;
    client.Rules.MaxRedirects = 5;
    client.Rules.StrictFraming = true;
    client.Rules.Headers = source.Headers;
    client.Tls = std::move(tls);
}

void ApplySourceRules(TIdHTTP& client, const TileSource& source, const std::string& caFile) {
    const bool secure = std::any_of(source.Templates.begin(), source.Templates.end(),
                                    [](const std::string& urlTemplate) {
                                        return StartsWithNoCase(TrimBlanks(urlTemplate), "https:");
                                    });
    ApplySourceRules(client, source, secure ? SharedTlsContext(caFile) : nullptr);
    client.TlsOnDemand = [caFile] { return SharedTlsContext(caFile); };
}

TestFetch FetchTestTile(const TileSource& source, int mapIndex,
                        std::shared_ptr<const TlsContext> tls) {
    std::size_t index = static_cast<std::size_t>(std::clamp(mapIndex, 0, 2));
    for (std::size_t i = 0; i < source.Templates.size(); ++i)
        if (source.Templates[(index + i) % 3].empty() == false) {
            index = (index + i) % 3;
            break;
        }
    // A tile the source has: at its smallest zoom level, within its bounds.
    const GeoBounds bounds = source.Bounds.value_or(GeoBounds{});
    TestFetch fetched;
    fetched.Z = std::max(0, source.MinZoom);
    fetched.X = LonToTileX((bounds.West + bounds.East) / 2, fetched.Z);
    fetched.Y = LatToTileY((bounds.South + bounds.North) / 2, fetched.Z);
    fetched.Url = ExpandTemplate(source.Templates[index], fetched.Z, fetched.X, fetched.Y,
                                 source.Subdomains);
    TIdHTTP client;
    ApplySourceRules(client, source, std::move(tls));
    const auto start = std::chrono::steady_clock::now();
    try {
        client.Get(fetched.Url, fetched.Body);
        if (const auto fault = TileImageFault(fetched.Body, source.Format))
            throw Exception(*fault);
    } catch (const std::exception& error) {
        fetched.Error = std::string(error.what()) + "->" + fetched.Url;
    }
    fetched.Milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    return fetched;
}

std::string PauseLine(int slot, int seconds, int status) {
    return "T" + std::to_string(slot + 1) + " The service asks to wait " + std::to_string(seconds) +
           " s (" + std::to_string(status) + ").";
}

int BackoffSeconds(int n) noexcept {
    int seconds = 5;
    for (int i = 1; i < n && seconds < MaxBackoffSeconds; ++i)
        seconds *= 2;
    return std::min(seconds, MaxBackoffSeconds);
}

} // namespace quarrow
