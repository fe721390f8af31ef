#pragma once

#include <QObject>

class QEventLoop;
class QTimer;

// Waits for a signal in a nested event loop, so the thread keeps handling socket data, timers and
// window events meanwhile. Connect the awaited signal to signalReceived(), then call wait().
class AsyncWaiter : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AsyncWaiter)

public:
    explicit AsyncWaiter(QObject *parent = nullptr);
    ~AsyncWaiter() override;

    // True when signalReceived() ended the wait, false when timeoutMs passed first (a time-out of
    // 0 or less waits without limit). A signal that came before the call is forgotten.
    [[nodiscard]] bool wait(int timeoutMs);
    void reset();

signals:
    void signalReceived();

private slots:
    void onSignalReceived();

private:
    QEventLoop *m_loop = nullptr;
    QTimer *m_timer = nullptr;
    bool m_received = false;
};
