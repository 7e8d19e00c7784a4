// Results that threads of a window's own hand to the window's thread. They cross through a lock of
// the mailbox's own, which race checkers see; only a wake-up without data goes through Qt's queue.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include <QObject>

namespace quarrow::map {

class UiMailbox : public QObject {
    Q_OBJECT
public:
    // Made on the thread that runs the calls.
    explicit UiMailbox(QObject* parent = nullptr) : QObject(parent) {}

    // Any thread: the call runs soon on the mailbox's thread, in the order posted. Calls still
    // waiting when the mailbox goes are dropped.
    void Post(std::function<void()> call);

    // Runs every call posted so far.
    Q_INVOKABLE void RunPosted();

private:
    std::mutex m_mutex;
    std::deque<std::function<void()>> m_calls;
    bool m_wakePending = false;
};

} // namespace quarrow::map
