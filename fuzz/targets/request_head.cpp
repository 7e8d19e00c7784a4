// The tile service's request reading: the bytes a connection received, heads found and read one
// after the other as the service does, and each target read as a tile.
#include "FuzzSupport.h"
#include "tools/tileservice/RequestHead.h"
#include "tools/tileservice/TilePath.h"
#include "tools/tileservice/TileService.h"

using namespace quarrow;
using namespace quarrow::tileservice;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string received(reinterpret_cast<const char*>(data), size);
    while (!received.empty()) {
        const std::size_t before = received.size();
        const std::size_t end = FindRequestHead(received);
        fuzz::Check(received.size() <= before, "finding a head only drops bytes");
        if (end == std::string::npos || end > TileService::MaxRequestHead)
            break;
        fuzz::Check(end <= received.size() && received[end - 1] == '\n',
                    "a head ends with its empty line");
        const std::optional<RequestHead> head =
            ParseRequestHead(std::string_view(received).substr(0, end));
        if (!head)
            break; // the service answers 400 and closes
        fuzz::Check(!head->Method.empty() && !head->Target.empty(),
                    "a head names method and target");
        if (const std::optional<TileRequest> tile = ParseTilePath(head->Target)) {
            fuzz::Check(tile->Z >= 0 && tile->Z <= MaxZoom, "the zoom level is served");
            const long long side = 1LL << tile->Z;
            fuzz::Check(tile->X >= 0 && tile->X < side && tile->Y >= 0 && tile->Y < side,
                        "the tile lies on its zoom level");
        }
        if (head->Close || head->HasBody)
            break;
        received.erase(0, end);
    }
    return 0;
}
