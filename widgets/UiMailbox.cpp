#include "UiMailbox.h"

#include <QMetaObject>

namespace quarrow::map {

void UiMailbox::Post(std::function<void()> call) {
    {
        const std::lock_guard lock(m_mutex);
        m_calls.push_back(std::move(call));
        // One wake-up serves every call posted before it runs.
        if (m_wakePending)
            return;
        m_wakePending = true;
    }
    // By name, so that the queued event is made inside Qt and carries nothing of ours.
    QMetaObject::invokeMethod(this, "RunPosted", Qt::QueuedConnection);
}

void UiMailbox::RunPosted() {
    std::deque<std::function<void()>> calls;
    {
        const std::lock_guard lock(m_mutex);
        calls.swap(m_calls);
        m_wakePending = false;
    }
    for (auto& call : calls)
        call();
}

} // namespace quarrow::map
