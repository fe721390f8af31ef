#include "app/terminationwatcher.h"

#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>

#ifdef Q_OS_WIN
#include <atomic>

#include <windows.h>
#else
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

QPointer<TerminationWatcher> g_watcher;

#ifdef Q_OS_WIN
constexpr wchar_t kWindowClass[] = L"UpdateExeTerminationWatcher";

// The request window; the console handler, which runs on a thread of its own, reaches the GUI
// thread by posting to it.
std::atomic<HWND> g_requestWindow{nullptr};

// Runs on the GUI thread, from whatever event loop dispatched the message.
void requestTermination()
{
    if (g_watcher)
        QMetaObject::invokeMethod(g_watcher.data(), &TerminationWatcher::terminationRequested, Qt::QueuedConnection);
}

BOOL WINAPI onConsoleEvent(DWORD)
{
    const HWND window = g_requestWindow.load();
    if (window)
        PostMessageW(window, WM_CLOSE, 0, 0);
    return TRUE;
}

LRESULT CALLBACK onWindowMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CLOSE:
        // Not DefWindowProc, which would destroy the window: it stays for a second request.
        requestTermination();
        return 0;
    case WM_QUERYENDSESSION:
        // The session ends: the cancel starts now, while there is time for its clean-up, and the
        // logoff is never held up.
        requestTermination();
        return TRUE;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

// Windows asks a program to end by posting WM_CLOSE to its top-level windows (QProcess::terminate,
// taskkill without /F) and sends them WM_QUERYENDSESSION at logoff. update.exe may have none: in
// console mode on the offscreen platform, or before its window is shown, Qt has created no native
// window. So it keeps one of its own that is never shown. Not a message-only window: EnumWindows,
// through which those requests find a process's windows, leaves such windows out.
HWND createRequestWindow()
{
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = onWindowMessage;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassW(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return CreateWindowExW(WS_EX_TOOLWINDOW, kWindowClass, L"update.exe", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           instance, nullptr);
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
    m_window = createRequestWindow();
    g_requestWindow = static_cast<HWND>(m_window);
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
    g_requestWindow = nullptr;
    if (m_window)
        DestroyWindow(static_cast<HWND>(m_window));
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
