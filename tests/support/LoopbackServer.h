// A scripted TCP server on 127.0.0.1 for network tests: each accepted connection is handed to a
// script on a thread of its own, and every byte that clients send is recorded.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quarrow::test {

// One accepted connection, as seen by the script. Every wait is bounded.
class ServerConnection {
public:
    ServerConnection(int fd, int index, class LoopbackServer& server);
    ~ServerConnection(); // closes unless already closed or reset
    ServerConnection(const ServerConnection&) = delete;
    ServerConnection& operator=(const ServerConnection&) = delete;

    int Index() const noexcept { return m_index; } // 0 for the first connection accepted

    // Reads up to and including the empty line that ends a request head; "" when the peer
    // closed first or nothing came within the wait.
    std::string ReadRequest(std::chrono::milliseconds wait = std::chrono::seconds(5));
    void Send(std::string_view bytes);
    void Close(); // orderly close (FIN)
    void Reset(); // abortive close (RST)
    // Waits until the peer closes; true when it did within the wait.
    bool WaitForPeerClose(std::chrono::milliseconds wait = std::chrono::seconds(5));
    // Connects to 127.0.0.1:port and copies bytes both ways, unrecorded, until either side
    // closes or nothing moves for the wait: a proxy's tunnel.
    void Relay(int port, std::chrono::milliseconds wait = std::chrono::seconds(10));

private:
    enum class Arrival { Data, Closed, TimedOut };
    // Receives what comes before the deadline into m_pending, recording it.
    Arrival ReceiveSome(std::chrono::steady_clock::time_point deadline);

    int m_fd; // -1 once closed or reset
    int m_index;
    LoopbackServer& m_server;
    std::string m_pending; // bytes read past the last request head
};

class LoopbackServer {
public:
    using Script = std::function<void(ServerConnection&)>;

    explicit LoopbackServer(Script script);
    ~LoopbackServer(); // wakes accept() with shutdown(), then joins every thread
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int Port() const noexcept { return m_port; }
    int ConnectionCount() const;
    // Request bytes received, one string per connection in accept order.
    std::vector<std::string> Received() const;
    // All request bytes of every connection, concatenated in accept order.
    std::string AllReceived() const;

private:
    friend class ServerConnection;
    void Record(int index, std::string_view bytes);
    void AcceptLoop();

    Script m_script;
    int m_listenFd = -1;
    int m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_received;
    std::vector<std::thread> m_connectionThreads;
    std::thread m_acceptThread;
    std::atomic<bool> m_stopping{false};
};

// A port on 127.0.0.1 that is bound but not listening, so every connect is refused; held for the
// helper's life, so no other program takes it meanwhile.
class RefusingPort {
public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int Port() const noexcept { return m_port; }

private:
    int m_fd;
    int m_port = 0;
};

} // namespace quarrow::test
