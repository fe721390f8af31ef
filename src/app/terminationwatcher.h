#pragma once

#include <QObject>

class QSocketNotifier;

// Turns a request to stop the process from outside (SIGTERM or SIGINT, or Ctrl+C / Ctrl+Break /
// closing the console on Windows) into a signal on the GUI thread, so that a running update is
// cancelled and cleaned up instead of being cut off half-way. One instance per process.
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
};
