#include "WorkOffUi.h"

#include <atomic>
#include <exception>
#include <thread>

#include <QCoreApplication>
#include <QMetaObject>

void RunOffUi(const std::function<void()>& work, QEventLoop::ProcessEventsFlags events) {
    std::atomic<bool> done{false};
    std::exception_ptr error;
    {
        const std::jthread worker([&] {
            try {
                work();
            } catch (...) {
                error = std::current_exception();
            }
            done = true;
            // Wakes the wait below.
            QMetaObject::invokeMethod(QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        });
        while (!done)
            QCoreApplication::processEvents(events | QEventLoop::WaitForMoreEvents);
    }
    if (error)
        std::rethrow_exception(error);
}
