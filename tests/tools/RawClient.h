// A client of raw bytes for the local tile service's tests: what goes on the wire is seen as sent.
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <string>
#include <string_view>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace quarrow::tileservice {

class RawClient {
public:
    explicit RawClient(int port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval wait{5, 0}; // no test waits longer for an answer
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected =
            ::connect(m_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_connected; }

    bool Send(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t sent = ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    // One answer: the head with its empty line, then as many body bytes as its Content-Length
    // says (none for an answer to HEAD). "" when the connection ended first.
    std::string ReadAnswer(bool headOnly = false) {
        std::size_t end;
        while ((end = m_pending.find("\r\n\r\n")) == std::string::npos) {
            if (!Fill()) {
                return {};
            }
        }
        end += 4;
        const std::string head = m_pending.substr(0, end);
        std::size_t length = 0;
        if (const std::size_t at = head.find("Content-Length: ");
            at != std::string::npos && !headOnly) {
            length = std::stoul(head.substr(at + 16));
        }
        while (m_pending.size() < end + length) {
            if (!Fill()) {
                return {};
            }
        }
        std::string answer = m_pending.substr(0, end + length);
        m_pending.erase(0, end + length);
        return answer;
    }

    // What the server does next: 0 for an orderly close, the errno of a failed read, or -1 when
    // it sends more bytes.
    int ReadEnd() {
        char byte;
        const ssize_t count = ::recv(m_fd, &byte, 1, 0);
        return count == 0 ? 0 : count < 0 ? errno : -1;
    }

    int Fd() const { return m_fd; }

private:
    bool Fill() {
        char chunk[65536];
        const ssize_t count = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (count <= 0) {
            return false;
        }
        m_pending.append(chunk, static_cast<std::size_t>(count));
        return true;
    }

    int m_fd;
    bool m_connected = false;
    std::string m_pending;
};

} // namespace quarrow::tileservice
