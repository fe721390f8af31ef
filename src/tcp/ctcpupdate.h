#pragma once

#include "tcp/tcpconstants.h"
#include "tcp/tcpprotocol.h"
#include "tcp/updatewidget.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>

#include <cstdint>

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

    // Version check; true when the server offers an update.
    [[nodiscard]] bool start();
    // Downloads every listed file; true when all of them arrived.
    bool beginDownload();

    [[nodiscard]] static ErrorType classifyError(const QString &text);

    // How long one file may go without data before its attempt fails.
    void setNoDataTimeout(int ms);
    // The pause between two attempts of a file.
    void setRetryPause(int ms) { m_retryPauseMs = ms; }

    [[nodiscard]] QUpdateTcpClient *client() const { return m_client; }
    [[nodiscard]] UpdateWidget &progressWindow() { return m_progressWindow; }
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
    bool downloadWithRetry();
    bool downloadCurrentFile();
    void showOverallProgress();
    void handleFailure(const QString &fileName);

    UpdateWidget m_progressWindow;
    QUpdateTcpClient *m_client = nullptr;
    VersionInfo m_versionInfo;
    QList<FileItem> m_downloadList;
    int m_currentIndex = -1;
    // Set while beginDownload() works through m_downloadList, which must not change under it.
    bool m_downloading = false;
    int m_maxRetries = TcpProtocol::MaxRetries;
    int m_retryPauseMs = TcpProtocol::RetryPauseMs;
    QElapsedTimer m_windowRefresh; // last time a progress report reached the window
};
