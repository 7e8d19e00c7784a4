// The one table of Windows Sockets numbers and texts, and the errno and look-up mappings.
#include "WinsockErrors.h"

#include <algorithm>
#include <array>
#include <cerrno>

#include <netdb.h>

#include "FailureTexts.h"

namespace quarrow {

namespace {

struct WinsockError {
    int Number;
    std::string_view Text;
};

// The descriptions exactly as the callers and their users have always seen them, odd trailing
// blank of 10035 and missing full stop of 10066 included.
constexpr std::array<WinsockError, 39> WinsockErrors{{
    {10004, "Interrupted system call."},
    {10009, "Bad file number."},
    {10013, "Access denied."},
    {10014, "Bad address."},
    {10022, "Invalid argument."},
    {10024, "Too many open files."},
    {10035, "Operation would block. "},
    {10036, "Operation now in progress."},
    {10037, "Operation already in progress."},
    {10038, "Socket operation on non-socket."},
    {10039, "Destination address required."},
    {10040, "Message too long."},
    {10041, "Protocol wrong type for socket."},
    {10042, "Bad protocol option."},
    {10043, "Protocol not supported."},
    {10044, "Socket type not supported."},
    {10045, "Operation not supported on socket."},
    {10046, "Protocol family not supported."},
    {10047, "Address family not supported by protocol family."},
    {10048, "Address already in use."},
    {10049, "Cannot assign requested address."},
    {10050, "Network is down."},
    {10051, "Network is unreachable."},
    {10052, "Net dropped connection or reset."},
    {10053, "Software caused connection abort."},
    {10054, "Connection reset by peer."},
    {10055, "No buffer space available."},
    {10056, "Socket is already connected."},
    {10057, "Socket is not connected."},
    {10058, "Cannot send or receive after socket is closed."},
    {10059, "Too many references, cannot splice."},
    {10060, "Connection timed out."},
    {10061, "Connection refused."},
    {10062, "Too many levels of symbolic links."},
    {10063, "File name too long."},
    {10064, "Host is down."},
    {10065, "No route to host."},
    {10066, "Directory not empty"},
}};

struct ErrnoMapping {
    int Errno;
    int Number;
};

// Winsock numbers are the BSD errno values plus 10000; the POSIX names are matched here because
// their values differ from one system to the next.
constexpr ErrnoMapping ErrnoMappings[] = {
    {EINTR, 10004},           {EBADF, 10009},        {EACCES, 10013},
    {EPERM, 10013},           {EFAULT, 10014},       {EINVAL, 10022},
    {EMFILE, 10024},          {ENFILE, 10024},       {EWOULDBLOCK, 10035},
    {EAGAIN, 10035},          {EINPROGRESS, 10036},  {EALREADY, 10037},
    {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039}, {EMSGSIZE, 10040},
    {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
    {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},   {EPFNOSUPPORT, 10046},
    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},   {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},        {ENETUNREACH, 10051},  {ENETRESET, 10052},
    {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {EPIPE, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},       {EISCONN, 10056},
    {ENOTCONN, 10057},        {ESHUTDOWN, 10058},    {ETOOMANYREFS, 10059},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061}, {ELOOP, 10062},
    {ENAMETOOLONG, 10063},    {EHOSTDOWN, 10064},    {EHOSTUNREACH, 10065},
    {ENOTEMPTY, 10066},
};

} // namespace

std::string_view WinsockErrorText(int number) {
    const auto* found =
        std::find_if(WinsockErrors.begin(), WinsockErrors.end(),
                     [number](const WinsockError& e) { return e.Number == number; });
    return found == WinsockErrors.end() ? std::string_view{} : found->Text;
}

std::string SocketErrorMessage(int number) {
    std::string message = std::string(failure::SocketErrorLead) + std::to_string(number) + "\r\n";
    message += WinsockErrorText(number);
    return message;
}

int WinsockErrorFromErrno(int error) {
    for (const ErrnoMapping& mapping : ErrnoMappings)
        if (mapping.Errno == error)
            return mapping.Number;
    return error;
}

int WinsockErrorFromLookup(int code, int systemError) {
    // An if-chain: some of these codes share a value on some systems.
    if (code == EAI_NONAME || code == EAI_FAIL)
        return winsock::HostNotFound;
#ifdef EAI_NODATA
    if (code == EAI_NODATA)
        return winsock::HostNotFound;
#endif
#ifdef EAI_ADDRFAMILY
    if (code == EAI_ADDRFAMILY) // a name with no IPv4 address
        return winsock::HostNotFound;
#endif
    if (code == EAI_AGAIN)
        return winsock::TryAgain;
    if (code == EAI_MEMORY)
        return WinsockErrorFromErrno(ENOMEM);
    if (code == EAI_FAMILY)
        return WinsockErrorFromErrno(EAFNOSUPPORT);
    if (code == EAI_SYSTEM && systemError != 0)
        return WinsockErrorFromErrno(systemError);
    return winsock::NoRecovery;
}

} // namespace quarrow
