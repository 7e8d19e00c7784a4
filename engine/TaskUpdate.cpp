// HTTP leaves room in a few places; the choices: max-age counts from the time of receipt (no Age
// header is honoured), Cache-Control wins over Expires, an Expires is taken relative to the
// answer's Date when it has one (so a clock that is off does not matter), and If-None-Match goes
// beside If-Modified-Since when a tile has both, as browsers send them.
#include "TaskUpdate.h"

#include <algorithm>
#include <charconv>

#include "HttpDate.h"
#include "base/TextRules.h"
#include "store/TileFile.h"
#include "store/TileRecords.h"

namespace quarrow {

namespace {

constexpr std::int64_t Day = SecondsPerDay;

const std::string* Header(const HeaderList& headers, std::string_view name) {
    for (const auto& [key, value] : headers)
        if (EqualsNoCase(key, name))
            return &value;
    return nullptr;
}

} // namespace

std::int64_t FreshUntil(const HeaderList& headers, std::int64_t now) {
    if (const std::string* control = Header(headers, "Cache-Control")) {
        std::optional<std::int64_t> maxAge;
        for (std::string_view rest = *control; !rest.empty();) {
            const std::size_t comma = rest.find(',');
            const std::string_view directive = TrimBlanks(rest.substr(0, comma));
            rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 1);
            if (EqualsNoCase(directive, "no-cache") || EqualsNoCase(directive, "no-store"))
                return 0;
            if (StartsWithNoCase(directive, "max-age=")) {
                std::int64_t seconds = 0;
                const std::string_view digits = directive.substr(8);
                const auto [end, error] =
                    std::from_chars(digits.data(), digits.data() + digits.size(), seconds);
                if (error == std::errc() && end == digits.data() + digits.size() && seconds >= 0)
                    maxAge = std::min<std::int64_t>(seconds, 3650 * Day);
            }
        }
        if (maxAge)
            return SecondsAfter(now, *maxAge);
    }
    if (const std::string* expires = Header(headers, "Expires")) {
        const std::optional<std::time_t> until = ParseHttpDate(TrimBlanks(*expires));
        if (!until)
            return 0; // an invalid date means already expired
        const std::string* date = Header(headers, "Date");
        const std::optional<std::time_t> sent = date ? ParseHttpDate(TrimBlanks(*date)) : std::nullopt;
        const std::int64_t left = SecondsBetween(*until, sent ? *sent : now);
        return left > 0 ? SecondsAfter(now, std::min<std::int64_t>(left, 3650 * Day)) : 0;
    }
    return 0;
}

// Only what can go back in a request line as it is; a records file may come from anyone.
bool SafeValidator(std::string_view value) {
    return !value.empty() && value.size() <= MaxValidatorSize && !HasControl(value);
}

std::pair<std::string, std::string> ValidatorsOf(const HeaderList& headers) {
    const auto safe = [&headers](std::string_view name) {
        const std::string* value = Header(headers, name);
        return value && SafeValidator(TrimBlanks(*value)) ? std::string(TrimBlanks(*value))
                                                          : std::string();
    };
    return {safe("ETag"), safe("Last-Modified")};
}

std::optional<UpdateSkip> UpdateSkips(const UpdateRules& rules,
                                      const std::optional<TileRecord>& stored,
                                      std::optional<std::int64_t> fileTime, std::int64_t now) {
    if (!fileTime)
        return std::nullopt; // a tile never saved is fetched
    // A record checked in the future would keep its tile from every update.
    const std::optional<TileRecord>& record =
        stored && stored->Checked <= SecondsBetween(now, -Day) ? stored : std::nullopt;
    if (record) {
        if (rules.Pass > 0 && record->Pass == rules.Pass)
            return UpdateSkip::ThisUpdate;
        if (rules.MinAgeDays > 0 && SecondsBetween(now, record->Checked) < rules.MinAgeDays * Day)
            return UpdateSkip::MinAge;
        if (!rules.Force && record->FreshUntil > now)
            return UpdateSkip::Fresh;
    }
    const std::int64_t checked = record ? record->Checked : *fileTime;
    if (rules.OlderThanDays > 0 && SecondsBetween(now, checked) < rules.OlderThanDays * Day)
        return UpdateSkip::Recent;
    return std::nullopt;
}

bool UpdateAsks(const UpdateRules& rules, const std::optional<TileRecord>& record,
                std::optional<std::int64_t> fileTime, std::int64_t now) {
    return !UpdateSkips(rules, record, fileTime, now);
}

HeaderList ConditionalHeaders(const std::optional<TileRecord>& record) {
    HeaderList lines;
    if (record && SafeValidator(record->ETag))
        lines.emplace_back("If-None-Match", record->ETag);
    if (record && SafeValidator(record->LastModified))
        lines.emplace_back("If-Modified-Since", record->LastModified);
    return lines;
}

} // namespace quarrow
