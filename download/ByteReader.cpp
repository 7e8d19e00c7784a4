// The byte reader: lines, counted bytes and whatever has come, through one receive buffer.
#include "ByteReader.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "ClientErrors.h"

namespace quarrow {

namespace {

// The most that one receive puts straight into a caller's string.
constexpr std::size_t DirectReceiveSize = 64 * 1024;

} // namespace

ByteReader::ByteReader(ByteSource& source) : m_source(source), m_buffer(new char[BufferSize]) {}

std::size_t ByteReader::Receive(char* data, std::size_t size) {
    if (m_peerClosed)
        return 0;
    const std::size_t received = m_source.Receive(data, size);
    m_peerClosed = received == 0;
    m_received += received;
    return received;
}

bool ByteReader::Fill() {
    if (m_begin == m_end)
        m_begin = m_end = 0;
    const std::size_t received = Receive(m_buffer.get() + m_end, BufferSize - m_end);
    m_end += received;
    return received > 0;
}

bool ByteReader::ReadLine(std::string& line, std::size_t maxLength) {
    line.clear();
    // One byte more for the CR that may end the line.
    const std::size_t rawLimit = maxLength + (maxLength < SIZE_MAX ? 1 : 0);
    for (;;) {
        const char* begin = m_buffer.get() + m_begin;
        const auto* lf = static_cast<const char*>(std::memchr(begin, '\n', Buffered()));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - begin) : Buffered();
        if (take > rawLimit - line.size())
            return false;
        line.append(begin, take);
        m_begin += take;
        if (lf) {
            ++m_begin;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line.size() <= maxLength;
        }
        if (!Fill())
            throw EIdConnClosedGracefully();
    }
}

void ByteReader::ReadExactly(std::string& out, std::size_t count) {
    while (count > 0) {
        const std::size_t received = ReadSome(out, count);
        if (received == 0)
            throw EIdConnClosedGracefully();
        count -= received;
    }
}

std::size_t ByteReader::ReadSome(std::string& out, std::size_t maxCount) {
    if (maxCount == 0)
        return 0;
    if (Buffered() > 0) {
        const std::size_t take = std::min(Buffered(), maxCount);
        out.append(m_buffer.get() + m_begin, take);
        m_begin += take;
        return take;
    }
    return ReceiveInto(out, maxCount);
}

std::size_t ByteReader::ReceiveInto(std::string& out, std::size_t maxCount) {
    const std::size_t before = out.size();
    const std::size_t room = std::min(maxCount, DirectReceiveSize);
    out.resize(before + room);
    std::size_t received = 0;
    try {
        received = Receive(out.data() + before, room);
    } catch (...) {
        out.resize(before);
        throw;
    }
    out.resize(before + received);
    return received;
}

} // namespace quarrow
