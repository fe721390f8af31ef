#include "app/terminationwatcher.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

QPointer<TerminationWatcher> g_watcher;

#ifdef Q_OS_WIN
BOOL WINAPI onConsoleEvent(DWORD)
{
    // Runs on a thread of its own: hand the request to the GUI thread.
    if (g_watcher)
        QMetaObject::invokeMethod(g_watcher.data(), &TerminationWatcher::terminationRequested, Qt::QueuedConnection);
    return TRUE;
}
#else
int g_pipe[2] = {-1, -1};

void onSignal(int)
{
    // Only write() is safe in a signal handler; the notifier reads the byte on the GUI thread.
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(g_pipe[1], &byte, 1);
}
#endif

} // namespace

TerminationWatcher::TerminationWatcher(QObject *parent)
    : QObject(parent)
{
    g_watcher = this;
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    if (g_pipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, g_pipe) != 0)
        return;
    m_notifier = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatcher::onNotified);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
#endif
}

TerminationWatcher::~TerminationWatcher()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
#else
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
#endif
    g_watcher = nullptr;
}

void TerminationWatcher::onNotified()
{
#ifndef Q_OS_WIN
    char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::read(g_pipe[0], &byte, 1);
#endif
    emit terminationRequested();
}
