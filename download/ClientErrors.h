// The errors of the HTTP client and the connection under it, with the texts by which their callers
// judge them. Visible through httpclient.h, where the client's callers find them.
#pragma once

#include <string>

#include "base/Exception.h"
#include "FailureTexts.h"

namespace quarrow {

// An answer that is not a success: the message is the status text as received.
class EIdProtocolReplyError : public Exception {
public:
    EIdProtocolReplyError(int code, const std::string& statusText)
        : Exception(statusText), ReplyErrorCode(code) {}
    int ReplyErrorCode;
};

// A socket failure, numbered and described as Windows Sockets does.
class EIdSocketError : public Exception {
public:
    explicit EIdSocketError(int lastError);
    int LastError;
};

class EIdConnClosedGracefully : public Exception {
public:
    EIdConnClosedGracefully() : Exception(std::string(failure::ClosedGracefullyText)) {}
};

class EConvertError : public Exception {
public:
    using Exception::Exception;
};

class EIdInterceptPropInvalid : public Exception {
public:
    EIdInterceptPropInvalid() : Exception("Intercept value is not valid") {}
};

// A redirect that is not followed whatever the attempt (another scheme than http and https, a
// user name in the URL): another request would be refused the same way.
class ERefusedRedirect : public Exception {
public:
    using Exception::Exception;
};

} // namespace quarrow
