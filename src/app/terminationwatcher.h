#pragma once

#include <QObject>

class QSocketNotifier;

// Turns a request to stop the process from outside (SIGTERM or SIGINT; on Windows Ctrl+C,
// Ctrl+Break or closing the console, WM_CLOSE as QProcess::terminate() and taskkill send it, and
// the end of the session) into a signal on the GUI thread, so that a running update is cancelled
// and cleaned up instead of being cut off half-way. One instance per process.
class TerminationWatcher : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TerminationWatcher)

public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested();

private:
    void onNotified();

    QSocketNotifier *m_notifier = nullptr;
#ifdef Q_OS_WIN
    // The hidden top-level window that receives WM_CLOSE and the end of the session (an HWND).
    void *m_window = nullptr;
#endif
};
