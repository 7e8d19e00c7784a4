// What the HTTP client reads and writes: the bytes of a connection, plain over a socket or through
// TLS over one. Each kind bounds its waits by the socket layer's limits.
#pragma once

#include <string_view>

#include "ByteReader.h"

namespace quarrow {

struct WaitLimits;

class Stream : private ByteSource {
public:
    ~Stream() override = default;
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    // Sends all bytes. With more, the caller writes again at once: the bytes may be held back to
    // go out with the next write.
    virtual void Write(std::string_view bytes, bool more = false) = 0;
    virtual void SetLimits(const WaitLimits& limits) noexcept = 0;
    virtual bool Secure() const noexcept { return false; }

    // The reads; see ByteReader.
    ByteReader& Reader() noexcept { return m_reader; }

    // Whether the stream can carry no further request: a read saw the peer close, or, looked at
    // without waiting, the peer has closed or reset it since.
    bool PeerHasClosed() {
        if (m_reader.PeerClosed())
            return true;
        return !m_reader.HasBuffered() && LooksClosed();
    }

protected:
    Stream() = default;

private:
    // Waits for bytes within the limits; see ByteSource.
    std::size_t Receive(char* data, std::size_t size) override = 0;
    // Whether the peer has closed, looked at without waiting and without taking a byte.
    virtual bool LooksClosed() = 0;

    ByteReader m_reader{*this};
};

} // namespace quarrow
