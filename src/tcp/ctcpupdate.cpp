#include "tcp/ctcpupdate.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/pathrules.h"
#include "tcp/qupdatetcpclient.h"

#include <QDebug>
#include <QEventLoop>
#include <QTimer>

using namespace TcpProtocol;

CTCPUpdate::CTCPUpdate()
{
    m_refreshTimer.setSingleShot(true);
    connect(&m_refreshTimer, &QTimer::timeout, this, &CTCPUpdate::showPendingInWindow);
    const CSystemConfig &config = CSystemConfig::instance();
    const QString host = config.updateServer();
    const quint16 port = config.updatePortNumber();
    if (host.isEmpty() || !config.isLoaded() || port == 0)
        return;

    m_client = new QUpdateTcpClient(this);
    connect(m_client, &QUpdateTcpClient::versionChecked, this, &CTCPUpdate::onVersionChecked);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadProgress, this, &CTCPUpdate::onFileDownloadProgress);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadCompleted, this, &CTCPUpdate::onFileDownloadCompleted);
    connect(m_client, &QUpdateTcpClient::sigFileDownloadError, this, &CTCPUpdate::onFileDownloadError);
    // A transfer that ended as not what the server announced is shown like a failed chunk.
    connect(m_client, &QUpdateTcpClient::sigFileDownloadFailed, this, &CTCPUpdate::onFileDownloadError);
    // start() looks at the connection itself.
    m_client->connectToServer(host, port);
}

void CTCPUpdate::setProgressWindow(UpdateWidget *window)
{
    m_window = window ? window : &m_progressWindow;
}

CTCPUpdate::~CTCPUpdate()
{
    // The client goes first: its last signals must not reach a half-destroyed window.
    delete m_client;
    m_client = nullptr;
}

void CTCPUpdate::setNoDataTimeout(int ms)
{
    if (m_client)
        m_client->setNoDataTimeout(ms);
}

void CTCPUpdate::setMinimumRate(qint64 bytesPerSecond, int windowMs)
{
    if (m_client)
        m_client->setMinimumRate(bytesPerSecond, windowMs);
}

void CTCPUpdate::failCheck(const QString &reason)
{
    m_checkFailed = true;
    m_errorText = reason;
    logError(reason);
}

bool CTCPUpdate::start()
{
    m_checkFailed = false;
    m_errorText.clear();
    const CSystemConfig &config = CSystemConfig::instance();
    if (!m_client) {
        failCheck(QStringLiteral("TCP升级服务器配置无效"));
        return false;
    }
    if (!m_client->isConnected()) {
        failCheck(QStringLiteral("连接TCP升级服务器失败: %1:%2 (%3)")
                      .arg(config.updateServer(), QString::number(config.updatePortNumber()), m_client->lastError()));
        return false;
    }
    const VersionCheckRequest request =
        makeVersionCheckRequest(config.version(), config.projectType(), QString::fromLatin1(DriverClientId));
    m_versionReplied = false;
    const QString errorBefore = m_client->lastError();
    m_versionInfo = m_client->checkVersion(request, VersionCheckTimeoutMs);
    if (!m_versionReplied) {
        const QString error = m_client->lastError();
        failCheck(QStringLiteral("TCP版本检查失败: ")
                  + (error.isEmpty() || error == errorBefore ? QStringLiteral("等待服务器回复超时") : error));
        return false;
    }
    // An update without a single file to fetch cannot be carried out.
    if (m_versionInfo.hasUpdate && m_downloadList.isEmpty()) {
        failCheck(QStringLiteral("TCP版本检查失败: 服务器提供版本 %1，但没有列出任何文件").arg(m_versionInfo.version));
        m_versionInfo = VersionInfo();
        return false;
    }
    if (m_versionInfo.hasUpdate)
        logInfo(QStringLiteral("TCP升级服务器提供新版本: %1 (%2 个文件)")
                    .arg(m_versionInfo.version, QString::number(m_downloadList.size())));
    return m_versionInfo.hasUpdate;
}

void CTCPUpdate::onVersionChecked(const VersionInfo &info)
{
    if (!m_downloading)
        m_versionReplied = true;
    // A version reply the server sends on its own during the download is not an answer to our
    // check; taking it would swap the list being downloaded (or shorten it under the index).
    if (!info.hasUpdate || m_downloading)
        return;
    m_downloadList.clear();
    for (const QByteArray &entry : info.files)
        m_downloadList.append(fileItemFromEntry(entry));
}

bool CTCPUpdate::beginDownload()
{
    if (!m_versionInfo.hasUpdate || m_downloadList.isEmpty())
        return false;
    m_cancelled = false;
    m_failureText.clear();
    const QMetaObject::Connection cancelButton =
        connect(m_window, &UpdateWidget::cancelRequested, this, &CTCPUpdate::cancel);
    m_window->showAndActivate();
    m_window->resetProgress();
    m_window->setStatusText(QStringLiteral("开始TCP更新..."));
    m_downloading = true;
    m_resultOwed = true;
    const bool downloaded = downloadLoop();
    m_downloading = false;
    disconnect(cancelButton);
    return downloaded;
}

void CTCPUpdate::showInWindow(std::function<void()> update, bool now)
{
    const qint64 since = m_windowRefresh.isValid() ? m_windowRefresh.elapsed() : m_refreshIntervalMs;
    if (now || since >= m_refreshIntervalMs) {
        m_refreshTimer.stop();
        m_pendingWindowUpdate = nullptr;
        m_windowRefresh.start();
        update();
        return;
    }
    m_pendingWindowUpdate = std::move(update);
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start(static_cast<int>(m_refreshIntervalMs - since));
}

void CTCPUpdate::showPendingInWindow()
{
    if (!m_pendingWindowUpdate)
        return;
    const std::function<void()> update = std::move(m_pendingWindowUpdate);
    m_pendingWindowUpdate = nullptr;
    m_windowRefresh.start();
    update();
}

void CTCPUpdate::cancel()
{
    if (!m_downloading || m_cancelled)
        return;
    m_cancelled = true;
    logWarn("用户取消了TCP下载");
    if (m_client)
        m_client->cancelDownload();
    if (m_pause)
        m_pause->quit();
}

void CTCPUpdate::pauseBeforeRetry()
{
    QEventLoop loop;
    QTimer::singleShot(m_retryPauseMs, &loop, &QEventLoop::quit);
    m_pause = &loop;
    loop.exec();
    m_pause = nullptr;
}

bool CTCPUpdate::downloadLoop()
{
    m_currentIndex = 0;
    const int count = m_downloadList.size();
    showInWindow([this, count] { m_window->setStatus(QStringLiteral("准备下载文件，共 %1 个文件").arg(count), 0); }, true);
    logInfo(QStringLiteral("开始迭代下载，总文件数: %1").arg(count));

    // Windows keeps one file for two entries that differ only in letter case: such a list cannot
    // be installed, so nothing of it is downloaded.
    QStringList paths;
    for (const FileItem &item : qAsConst(m_downloadList))
        paths << (item.filePath.isEmpty() ? item.fileName : item.filePath + QLatin1Char('/') + item.fileName);
    const QString collision = firstCaseCollision(paths);
    if (!collision.isEmpty()) {
        logError(QStringLiteral("文件列表中有仅大小写不同的文件路径，拒绝下载: %1").arg(collision));
        m_failureText = QStringLiteral("文件路径不安全:") + collision;
        handleFailure(collision, QStringLiteral("下载失败"));
        return finish(false);
    }

    while (m_currentIndex < count) {
        if (!downloadWithRetry()) {
            showPendingInWindow();
            const QString fileName = m_downloadList.at(m_currentIndex).fileName;
            if (m_cancelled) {
                // Nothing more is wanted from the server.
                if (m_client)
                    m_client->abortConnection();
                m_failureText = QStringLiteral("下载已取消");
                handleFailure(fileName, m_failureText);
            } else {
                m_failureText = QStringLiteral("下载最终失败，已达到最大重试次数: %1").arg(fileName);
                handleFailure(fileName, QStringLiteral("下载失败"));
            }
            return finish(false);
        }
        ++m_currentIndex;
        showOverallProgress();
    }

    // "升级成功" waits until the files have been installed; the owner shows it then.
    showInWindow([this] { m_window->setStatus(QStringLiteral("所有文件下载完成！"), PercentScale); }, true);
    logInfo("所有文件下载完成");
    return finish(true);
}

bool CTCPUpdate::finish(bool downloaded)
{
    // Every result of a download leaves through here, once.
    if (m_resultOwed) {
        m_resultOwed = false;
        emit sigUpdateResult(downloaded);
    }
    return downloaded;
}

bool CTCPUpdate::downloadWithRetry()
{
    const QString fileName = m_downloadList.at(m_currentIndex).fileName;
    for (int attempt = 0; attempt <= m_maxRetries && !m_cancelled; ++attempt) {
        if (attempt > 0) {
            showInWindow([this, attempt, fileName] {
                m_window->setStatusText(QStringLiteral("第%1次重试下载: %2").arg(QString::number(attempt), fileName));
            }, true);
            logInfo(QStringLiteral("重试下载: %1, 尝试次数: %2").arg(fileName, QString::number(attempt)));
        }
        if (downloadCurrentFile())
            return true;
        if (attempt < m_maxRetries && !m_cancelled) {
            logWarn(QStringLiteral("下载失败，等待重试: %1").arg(fileName));
            pauseBeforeRetry();
        }
    }
    if (!m_cancelled)
        logError(QStringLiteral("下载最终失败，已达到最大重试次数: %1").arg(fileName));
    return false;
}

bool CTCPUpdate::downloadCurrentFile()
{
    const int count = m_downloadList.size();
    if (m_currentIndex >= count)
        return false;
    const FileItem item = m_downloadList.at(m_currentIndex);
    const QString status =
        QStringLiteral("正在下载: %1 (%2/%3)").arg(item.fileName, QString::number(m_currentIndex + 1), QString::number(count));
    showInWindow([this, status] { m_window->setStatus(status, 0); });
    logInfo(QStringLiteral("开始下载文件: %1 路径: %2").arg(item.fileName, item.filePath));
    if (m_client && m_client->downloadFile(item, NoTimeLimit)) {
        logInfo(QStringLiteral("文件下载成功: %1").arg(item.fileName));
        return true;
    }
    logError(QStringLiteral("文件下载失败: %1").arg(item.fileName));
    return false;
}

void CTCPUpdate::showOverallProgress()
{
    const int count = m_downloadList.size();
    const int percent = m_currentIndex * PercentScale / count;
    const QString status = QStringLiteral("总体进度: %1/%2 (%3%)").arg(m_currentIndex).arg(count).arg(percent);
    showInWindow([this, status, percent] { m_window->setStatus(status, percent); });
    logInfo(QStringLiteral("下载进度更新: %1/%2 (%3%)").arg(m_currentIndex).arg(count).arg(percent));
}

void CTCPUpdate::handleFailure(const QString &fileName, const QString &reason)
{
    const ErrorType type = classifyError(reason);
    switch (type) {
    case NetworkError:
        m_window->showError(QStringLiteral("网络错误，重试失败: %1").arg(fileName));
        break;
    case FileError:
        m_window->showError(QStringLiteral("文件系统错误，重试失败: %1").arg(fileName));
        break;
    case TimeoutError:
        m_window->showError(QStringLiteral("下载超时，重试失败: %1").arg(fileName));
        break;
    case CancelError:
        m_window->setStatusText(QStringLiteral("下载已取消"));
        break;
    case UnknownError:
        m_window->showError(QStringLiteral("未知错误，重试失败: %1").arg(fileName));
        break;
    }
    logError(QStringLiteral("下载错误处理完成，文件: %1 错误类型: %2").arg(fileName, QString::number(static_cast<int>(type))));
}

CTCPUpdate::ErrorType CTCPUpdate::classifyError(const QString &text)
{
    auto has = [&text](const char *word) { return text.contains(QString::fromUtf8(word), Qt::CaseInsensitive); };
    if (has("timeout") || has("超时"))
        return TimeoutError;
    if (has("network") || has("connection") || has("网络") || has("连接"))
        return NetworkError;
    if (has("file") || has("disk") || has("文件") || has("磁盘"))
        return FileError;
    if (has("cancel") || has("取消"))
        return CancelError;
    return UnknownError;
}

void CTCPUpdate::onFileDownloadProgress(const QString &filePath, const QString &fileName, uint32_t downloaded,
                                        uint32_t total)
{
    Q_UNUSED(filePath)
    // Both numbers come from the server: whole percent in 64 bits, never outside 0-100.
    const int percent = total == 0 ? 0 : static_cast<int>(qMin<quint64>(quint64(downloaded) * PercentScale / total, PercentScale));
    logInfo(QStringLiteral("TCP文件下载进度:%1 %2/%3 %4%")
                .arg(fileName, QString::number(downloaded), QString::number(total), QString::number(percent)));
    showInWindow([this, fileName, downloaded, total, percent] {
        m_window->updateFileProgress(fileName, downloaded, total);
        m_window->setStatus(
            QStringLiteral("下载文件: %1 (%2/%3)").arg(fileName, formatFileSize(downloaded), formatFileSize(total)),
            percent);
    });
}

void CTCPUpdate::onFileDownloadCompleted(const QString &filePath, const QString &fileName)
{
    Q_UNUSED(filePath)
    showInWindow([this, fileName] { m_window->setStatusText(QStringLiteral("文件下载完成: %1").arg(fileName)); });
    logInfo(QStringLiteral("TCP文件下载完成:%1").arg(fileName));
}

void CTCPUpdate::onFileDownloadError(const QString &filePath, const QString &fileName, const QString &error)
{
    Q_UNUSED(filePath)
    showInWindow([this, fileName, error] { m_window->showError(QStringLiteral("文件下载失败: %1 - %2").arg(fileName, error)); },
                 true);
    qWarning() << "TCP文件下载错误:" << fileName << "-" << error;
}
