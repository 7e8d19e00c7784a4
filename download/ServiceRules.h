// How long a custom source's service asks its clients to wait, from a 429 or 503 answer.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quarrow {

class TIdHTTP;
class TlsContext;
struct TileSource;

// A custom source's client: its User-Agent, Referer and headers (never the built-in source's
// browser-like agent), connections kept per host, redirects followed, and TLS for https.
void ApplySourceRules(TIdHTTP& client, const TileSource& source,
                      std::shared_ptr<const TlsContext> tls);
// The same, with the TLS context of the CA file shared by every client of the process that uses
// it (SharedTlsContext): made now when the source's URLs are https, at the first https URL else.
void ApplySourceRules(TIdHTTP& client, const TileSource& source, const std::string& caFile);

// One tile fetched to try a source out: the tile at the centre of its bounds (of the map without
// bounds) at its smallest zoom level, of the first map type it offers at or after mapIndex. Error
// is empty on success and otherwise the error as a worker's log line would show it
// ("message->URL").
struct TestFetch {
    int Z = 0, X = 0, Y = 0; // the tile tried
    std::string Url;
    std::string Body;
    long long Milliseconds = 0;
    std::string Error;
};
TestFetch FetchTestTile(const TileSource& source, int mapIndex,
                        std::shared_ptr<const TlsContext> tls);

// The line that tells of a pause: "T1 The service asks to wait 30 s (429)."
std::string PauseLine(int slot, int seconds, int status);

// The longest wait that a "Retry-After" is taken for.
inline constexpr int MaxRetryAfterSeconds = 600;
// Without one, the waits grow 5, 10, 20 s ... up to this.
inline constexpr int MaxBackoffSeconds = 300;
// A tile that gets this many such answers ends as failed.
inline constexpr int MaxServiceWaits = 10;

// Whether an answer's status asks the client to come back later (429, 503).
constexpr bool AsksToWait(int status) noexcept {
    return status == 429 || status == 503;
}

// The seconds of a "Retry-After" value, delay-seconds or an HTTP date (IMF-fixdate), from now on
// and at most MaxRetryAfterSeconds; nullopt for a value that reads as neither.
std::optional<int> RetryAfterSeconds(std::string_view value,
                                     std::chrono::system_clock::time_point now);

// The wait after the n-th request to wait in a row without a "Retry-After" (n from 1).
int BackoffSeconds(int n) noexcept;

} // namespace quarrow
