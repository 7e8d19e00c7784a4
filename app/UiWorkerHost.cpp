// The UI thread is woken by a queued call by name, so nothing that a worker allocates crosses to
// it through Qt: every hand-over goes through the gate's own lock, which race checkers see.
#include "UiWorkerHost.h"

#include <QMetaObject>
#include <QThread>

UiWorkerHost::UiWorkerHost(QObject* parent)
    : QObject(parent), m_uiThread(QThread::currentThread()),
      m_gate([this] { QMetaObject::invokeMethod(this, "RunQueued", Qt::QueuedConnection); }) {}

void UiWorkerHost::Synchronize(const std::function<void()>& call) {
    // A blocking hand-over from the UI thread to itself would wait for ever.
    if (QThread::currentThread() == m_uiThread) {
        call();
        return;
    }
    m_gate.Call(call);
}

void UiWorkerHost::Post(std::function<void()> call) {
    if (QThread::currentThread() == m_uiThread) {
        call();
        return;
    }
    m_gate.Post(std::move(call));
}
