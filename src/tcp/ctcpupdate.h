#pragma once

#include "tcp/tcpconstants.h"
#include "tcp/tcpprotocol.h"
#include "tcp/updatewidget.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>

class QEventLoop;
class QUpdateTcpClient;

// Carries out one TCP update: connects to the configured server, asks whether an update exists,
// then downloads every listed file (each up to 1 + maxRetries times) while its own progress
// window shows what happens, and reports the outcome once through sigUpdateResult.
class CTCPUpdate : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CTCPUpdate)

public:
    enum ErrorType { NetworkError = 0, FileError = 1, TimeoutError = 2, CancelError = 3, UnknownError = 4 };
    Q_ENUM(ErrorType)

    CTCPUpdate();
    ~CTCPUpdate() override;

    // Version check; true when the server offers an update. False also when the check could
    // not be made: checkFailed() and errorText() tell that apart from "up to date".
    [[nodiscard]] bool start();
    [[nodiscard]] bool checkFailed() const { return m_checkFailed; }
    [[nodiscard]] QString errorText() const { return m_errorText; }
    // Downloads every listed file; true when all of them arrived.
    bool beginDownload();
    // Stops a running download: the file in progress is dropped, no further attempt or file is
    // requested, and the result is false. The window's cancel button and Esc do the same.
    void cancel();
    [[nodiscard]] bool wasCancelled() const { return m_cancelled; }
    // Why the last download failed, for the caller's report.
    [[nodiscard]] QString failureText() const { return m_failureText; }

    // Shows the progress in window (not owned) instead of the driver's own window.
    void setProgressWindow(UpdateWidget *window);

    [[nodiscard]] static ErrorType classifyError(const QString &text);

    // How long one file may go without data before its attempt fails.
    void setNoDataTimeout(int ms);
    // The slowest average rate, over windowMs, at which an attempt goes on.
    void setMinimumRate(qint64 bytesPerSecond, int windowMs);
    // The pause between two attempts of a file.
    void setRetryPause(int ms) { m_retryPauseMs = ms; }
    // How often the window follows the download at most (0: every report is shown at once).
    void setWindowRefreshInterval(int ms) { m_refreshIntervalMs = ms; }

    [[nodiscard]] QUpdateTcpClient *client() const { return m_client; }
    [[nodiscard]] UpdateWidget &progressWindow() { return *m_window; }
    [[nodiscard]] const VersionInfo &versionInfo() const { return m_versionInfo; }
    [[nodiscard]] const QList<FileItem> &downloadList() const { return m_downloadList; }
    [[nodiscard]] int currentIndex() const { return m_currentIndex; }

    void onVersionChecked(const VersionInfo &info);
    void onFileDownloadProgress(const QString &filePath, const QString &fileName, uint32_t downloaded, uint32_t total);
    void onFileDownloadCompleted(const QString &filePath, const QString &fileName);
    void onFileDownloadError(const QString &filePath, const QString &fileName, const QString &error);

signals:
    void sigUpdateResult(bool bSuccess);

private:
    bool downloadLoop();
    // Reports the result of the download, once; returns downloaded.
    bool finish(bool downloaded);
    bool downloadWithRetry();
    bool downloadCurrentFile();
    void showOverallProgress();
    void handleFailure(const QString &fileName, const QString &reason);
    void failCheck(const QString &reason);
    // Waits between two attempts of a file; the window stays responsive, a cancel ends the wait.
    void pauseBeforeRetry();
    // Shows a state of the download in the window: at once when the last refresh is long enough
    // ago (or now is set), otherwise once the refresh interval has passed, unless a newer state
    // replaces it meanwhile. Painting every state of a thousand small files a second would cost
    // more than receiving them.
    void showInWindow(std::function<void()> update, bool now = false);
    void showPendingInWindow();

    UpdateWidget m_progressWindow;
    UpdateWidget *m_window = &m_progressWindow; // the window the progress is shown in
    QUpdateTcpClient *m_client = nullptr;
    VersionInfo m_versionInfo;
    QList<FileItem> m_downloadList;
    int m_currentIndex = -1;
    // Set while beginDownload() works through m_downloadList, which must not change under it.
    bool m_downloading = false;
    int m_maxRetries = TcpProtocol::MaxRetries;
    int m_retryPauseMs = TcpProtocol::RetryPauseMs;
    QElapsedTimer m_windowRefresh; // last time a state reached the window
    int m_refreshIntervalMs = TcpProtocol::WindowRefreshIntervalMs;
    std::function<void()> m_pendingWindowUpdate;
    QTimer m_refreshTimer;
    bool m_checkFailed = false;
    QString m_errorText;
    bool m_versionReplied = false; // the server answered the version check (with or without update)
    bool m_cancelled = false;
    bool m_resultOwed = false; // a download runs and has not reported its result yet
    QString m_failureText;
    QEventLoop *m_pause = nullptr; // the running pause between two attempts
};
