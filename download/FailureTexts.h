// Every text by which a failed request is judged, and every fixed line that tells of one. The
// worker's rule table, the re-download loop and the client's own messages name these, so that no
// new text can change how a failure is judged by accident.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace quarrow::failure {

// Markers: case-sensitive substrings of an error's message. The Winsock numbers of a reset and of
// an address in use, the HTTP statuses as they begin a status text, and the two socket texts.
inline constexpr std::string_view Reset = "10054";
inline constexpr std::string_view AddressInUse = "10048";
inline constexpr std::string_view Status302 = "302";
inline constexpr std::string_view Status403 = "403";
inline constexpr std::string_view Status404 = "404";
inline constexpr std::string_view Status400 = "400";
inline constexpr std::string_view Status500 = "500";
inline constexpr std::string_view SocketError = "Socket Error";
inline constexpr std::string_view ClosedGracefully = "Connection Closed Gracefully";

inline constexpr std::array<std::string_view, 9> Markers{Reset,     AddressInUse, Status302,
                                                         Status403, Status404,    Status400,
                                                         Status500, SocketError,  ClosedGracefully};

constexpr bool Holds(std::string_view message, std::string_view marker) noexcept {
    return message.find(marker) != std::string_view::npos;
}

// Whether a text of the client's own would be judged as one of the failures above.
constexpr bool HoldsAnyMarker(std::string_view message) noexcept {
    return std::any_of(Markers.begin(), Markers.end(),
                       [message](std::string_view marker) { return Holds(message, marker); });
}

// The client's message texts that carry a marker.
inline constexpr std::string_view ClosedGracefullyText = "Connection Closed Gracefully.";
inline constexpr std::string_view SocketErrorLead = "Socket Error # ";

// Fixed lines. The banned line is one line whose text holds a line feed; a pane shows it as two.
inline constexpr std::string_view BannedLine =
    "Error: may be your IP is banned.\nPlease try again later.";
inline constexpr std::string_view NetworkLine = "Error: Your network has problem, please check it.";
// The worker's lead before the message of a tile the service does not deliver.
inline constexpr std::string_view NotGotLead = "Error: the image is not got.";
// How the line of a refused certificate begins: "The certificate of HOST was refused: ...".
// A task tells it once, and its outcome says it.
inline constexpr std::string_view CertificateRefusedLead = "The certificate of ";
// The re-download's line after a 404: the URL, then this.
inline constexpr std::string_view NotFoundTail = ":Error: the image is not found on server.";

} // namespace quarrow::failure
