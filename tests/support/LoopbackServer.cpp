// The scripted loopback server of the network tests: one thread per accepted connection.
#include "LoopbackServer.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "base/RetryEintr.h"

namespace quarrow::test {

namespace {

using Clock = std::chrono::steady_clock;

// Polls for input until the deadline, retrying interrupted waits; false when none came.
bool WaitReadable(int fd, Clock::time_point deadline) {
    pollfd entry{fd, POLLIN, 0};
    return RetryOnEintr([&] {
               const auto left =
                   std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
               return ::poll(&entry, 1, static_cast<int>(std::clamp<long long>(left, 0, INT_MAX)));
           }) > 0;
}

} // namespace

ServerConnection::ServerConnection(int fd, int index, LoopbackServer& server)
    : m_fd(fd), m_index(index), m_server(server) {
    // A client that stops reading must not hold a script in Send for ever.
    const timeval sendWait{5, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &sendWait, sizeof sendWait);
}

ServerConnection::~ServerConnection() {
    Close();
}

ServerConnection::Arrival ServerConnection::ReceiveSome(Clock::time_point deadline) {
    if (m_fd < 0)
        return Arrival::Closed;
    if (!WaitReadable(m_fd, deadline))
        return Arrival::TimedOut;
    char chunk[16 * 1024];
    const ssize_t received = RetryOnEintr([&] { return ::recv(m_fd, chunk, sizeof chunk, 0); });
    if (received <= 0)
        return Arrival::Closed;
    const std::string_view bytes(chunk, static_cast<std::size_t>(received));
    m_server.Record(m_index, bytes);
    m_pending.append(bytes);
    return Arrival::Data;
}

std::string ServerConnection::ReadRequest(std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        if (const auto end = m_pending.find("\r\n\r\n"); end != std::string::npos) {
            std::string head = m_pending.substr(0, end + 4);
            m_pending.erase(0, end + 4);
            return head;
        }
        if (ReceiveSome(deadline) != Arrival::Data)
            return {};
    }
}

void ServerConnection::Send(std::string_view bytes) {
    while (m_fd >= 0 && !bytes.empty()) {
        const ssize_t sent =
            RetryOnEintr([&] { return ::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); });
        if (sent <= 0)
            return; // the client has gone or stopped reading: the test judges what it got
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

void ServerConnection::Close() {
    if (m_fd < 0)
        return;
    ::shutdown(m_fd, SHUT_WR);
    // Unread input would turn the close into a reset; take what has come first.
    while (ReceiveSome(Clock::now()) == Arrival::Data) {
    }
    ::close(m_fd);
    m_fd = -1;
}

void ServerConnection::Reset() {
    if (m_fd < 0)
        return;
    const linger abortive{1, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    ::close(m_fd);
    m_fd = -1;
}

bool ServerConnection::WaitForPeerClose(std::chrono::milliseconds wait) {
    const auto deadline = Clock::now() + wait;
    for (;;) {
        switch (ReceiveSome(deadline)) {
        case Arrival::Data:
            continue;
        case Arrival::Closed:
            return true;
        case Arrival::TimedOut:
            return false;
        }
    }
}

LoopbackServer::LoopbackServer(Script script) : m_script(std::move(script)) {
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        throw std::runtime_error("loopback server: no socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0; // any free port
    socklen_t length = sizeof address;
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listenFd, SOMAXCONN) != 0 ||
        ::getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_listenFd);
        throw std::runtime_error("loopback server: cannot listen on 127.0.0.1");
    }
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
}

LoopbackServer::~LoopbackServer() {
    m_stopping = true;
    ::shutdown(m_listenFd, SHUT_RDWR); // wakes the accept() below
    m_acceptThread.join();
    for (std::thread& thread : m_connectionThreads)
        thread.join();
    ::close(m_listenFd);
}

void LoopbackServer::AcceptLoop() {
    for (;;) {
        const int fd =
            RetryOnEintr([this] { return ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC); });
        if (fd < 0) {
            if (m_stopping || errno != ECONNABORTED)
                return;
            continue;
        }
        int index = 0;
        {
            std::lock_guard lock(m_mutex);
            index = static_cast<int>(m_received.size());
            m_received.emplace_back();
        }
        m_connectionThreads.emplace_back([this, fd, index] {
            ServerConnection connection(fd, index, *this);
            try {
                m_script(connection);
            } catch (const std::exception& error) {
                ADD_FAILURE() << "connection " << index << " script failed: " << error.what();
            }
        });
    }
}

void LoopbackServer::Record(int index, std::string_view bytes) {
    std::lock_guard lock(m_mutex);
    m_received[static_cast<std::size_t>(index)].append(bytes);
}

int LoopbackServer::ConnectionCount() const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(m_received.size());
}

std::vector<std::string> LoopbackServer::Received() const {
    std::lock_guard lock(m_mutex);
    return m_received;
}

std::string LoopbackServer::AllReceived() const {
    std::lock_guard lock(m_mutex);
    std::string all;
    for (const std::string& bytes : m_received)
        all += bytes;
    return all;
}

void ServerConnection::Relay(int port, std::chrono::milliseconds wait) {
    const int peer = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    if (peer < 0 ||
        ::connect(peer, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(peer);
        return;
    }
    if (!m_pending.empty())
        ::send(peer, m_pending.data(), m_pending.size(), MSG_NOSIGNAL);
    m_pending.clear();
    char chunk[16 * 1024];
    for (;;) {
        pollfd ends[2] = {{m_fd, POLLIN, 0}, {peer, POLLIN, 0}};
        if (RetryOnEintr([&] { return ::poll(ends, 2, static_cast<int>(wait.count())); }) <= 0)
            break;
        bool open = true;
        for (int from = 0; from < 2 && open; ++from) {
            if (!(ends[from].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t count =
                RetryOnEintr([&] { return ::recv(ends[from].fd, chunk, sizeof chunk, 0); });
            open = count > 0 && ::send(ends[1 - from].fd, chunk, static_cast<std::size_t>(count),
                                       MSG_NOSIGNAL) == count;
        }
        if (!open)
            break;
    }
    ::close(peer);
}

RefusingPort::RefusingPort() : m_fd(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot reserve a port");
    m_port = ntohs(address.sin_port);
}

RefusingPort::~RefusingPort() {
    ::close(m_fd);
}

} // namespace quarrow::test
