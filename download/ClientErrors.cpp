#include "ClientErrors.h"

#include "WinsockErrors.h"

namespace quarrow {

EIdSocketError::EIdSocketError(int lastError)
    : Exception(SocketErrorMessage(lastError)), LastError(lastError) {}

} // namespace quarrow
