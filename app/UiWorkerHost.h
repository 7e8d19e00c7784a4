// The workers' way to the UI thread: a worker's call runs there while the worker waits, its
// waits end on a stop, and leaving releases them all. No widgets; the main window keeps one.
#pragma once

#include <functional>

#include <QObject>

#include "download/WorkerGate.h"

class QThread;

class UiWorkerHost : public QObject {
    Q_OBJECT
public:
    // Made on the UI thread, whose calls it runs.
    explicit UiWorkerHost(QObject* parent = nullptr);

    // Runs the call on the UI thread and waits for it; on the UI thread itself, at once. Once
    // leaving has begun, returns without running it.
    void Synchronize(const std::function<void()>& call);
    // Queues the call for the UI thread without waiting; on the UI thread itself, runs it at once.
    void Post(std::function<void()> call);
    void Sleep(int milliseconds) { m_gate.Sleep(milliseconds); }

    // These three on the UI thread; see WorkerGate. Ask every worker to stop before them.
    void WakeAll() { m_gate.WakeAll(); }
    void Rearm() { m_gate.Rearm(); }
    void Leave() { m_gate.Leave(); }

    // Runs the calls that have arrived, without waiting for the event loop.
    Q_INVOKABLE void RunQueued() { m_gate.RunQueued(); }

private:
    QThread* const m_uiThread;
    quarrow::WorkerGate m_gate;
};
