// An answer of the local tile service, before it is composed into bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quarrow::archive {
class TileReader;
}

namespace quarrow::tileservice {

struct Answer {
    int Code = 500;
    std::string_view Reason = "Internal Server Error";
    std::string_view ContentType = "text/plain";
    std::string Body;
    std::string ExtraHeaders; // whole lines, CR LF included
    // A body read from an archive while it is sent, instead of Body: a raw file's range.
    const archive::TileReader* Raw = nullptr;
    std::uint64_t RawOffset = 0;
    std::uint64_t RawLength = 0;
};

inline Answer TextAnswer(int code, std::string_view reason) {
    return Answer{code, reason, "text/plain", std::string(reason) + "\n", {}};
}

} // namespace quarrow::tileservice
