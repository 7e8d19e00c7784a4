// The Windows Sockets numbering of socket failures: the one table of numbers and texts, and the
// mapping of the platform's errno values and look-up codes onto it. No platform calls here.
#pragma once

#include <string>
#include <string_view>

namespace quarrow {

// Windows Sockets numbers that the rest of the client names.
namespace winsock {
inline constexpr int ConnectionAborted = 10053;
inline constexpr int ConnectionReset = 10054;
inline constexpr int TimedOut = 10060;
inline constexpr int ConnectionRefused = 10061;
inline constexpr int AddressNotAvailable = 10049;
inline constexpr int HostNotFound = 11001;
inline constexpr int TryAgain = 11002;
inline constexpr int NoRecovery = 11003;
} // namespace winsock

// The description of a Windows Sockets number; empty for a number outside the table.
std::string_view WinsockErrorText(int number);

// "Socket Error # <number>" CR LF and the number's description.
std::string SocketErrorMessage(int number);

// The Windows Sockets number of an errno value left by a socket call; the errno value itself
// when no Windows Sockets number fits (it stays below the table and names the real cause).
int WinsockErrorFromErrno(int error);

// The Windows Sockets number of a failed getaddrinfo; systemError is errno for EAI_SYSTEM.
int WinsockErrorFromLookup(int code, int systemError);

} // namespace quarrow
