#include "tcp/ctcpupdate.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "fileops/pathrules.h"
#include "tcp/qupdatetcpclient.h"

#include <QDebug>
#include <QThread>

using namespace TcpProtocol;

CTCPUpdate::CTCPUpdate()
{
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
    // start() looks at the connection itself.
    m_client->connectToServer(host, port);
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

bool CTCPUpdate::start()
{
    if (!m_client || !m_client->isConnected())
        return false;
    const CSystemConfig &config = CSystemConfig::instance();
    const VersionCheckRequest request =
        makeVersionCheckRequest(config.version(), config.projectType(), QString::fromLatin1(DriverClientId));
    m_versionInfo = m_client->checkVersion(request, VersionCheckTimeoutMs);
    return m_versionInfo.hasUpdate;
}

void CTCPUpdate::onVersionChecked(const VersionInfo &info)
{
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
    m_progressWindow.showAndActivate();
    m_progressWindow.resetProgress();
    m_progressWindow.setStatusText(QStringLiteral("开始TCP更新..."));
    m_downloading = true;
    const bool downloaded = downloadLoop();
    m_downloading = false;
    return downloaded;
}

bool CTCPUpdate::downloadLoop()
{
    m_currentIndex = 0;
    const int count = m_downloadList.size();
    m_progressWindow.setStatus(QStringLiteral("准备下载文件，共 %1 个文件").arg(count), 0);
    logInfo(QStringLiteral("开始迭代下载，总文件数: %1").arg(count));

    // Windows keeps one file for two entries that differ only in letter case: such a list cannot
    // be installed, so nothing of it is downloaded.
    QStringList paths;
    for (const FileItem &item : qAsConst(m_downloadList))
        paths << (item.filePath.isEmpty() ? item.fileName : item.filePath + QLatin1Char('/') + item.fileName);
    const QString collision = firstCaseCollision(paths);
    if (!collision.isEmpty()) {
        logError(QStringLiteral("文件列表中有仅大小写不同的文件路径，拒绝下载: %1").arg(collision));
        handleFailure(collision);
        emit sigUpdateResult(false);
        return false;
    }

    while (m_currentIndex < count) {
        if (!downloadWithRetry()) {
            handleFailure(m_downloadList.at(m_currentIndex).fileName);
            emit sigUpdateResult(false);
            return false;
        }
        ++m_currentIndex;
        showOverallProgress();
    }

    m_progressWindow.showSuccess();
    m_progressWindow.setStatusText(QStringLiteral("所有文件下载完成！"));
    logInfo("所有文件下载完成");
    emit sigUpdateResult(true);
    return true;
}

bool CTCPUpdate::downloadWithRetry()
{
    const QString fileName = m_downloadList.at(m_currentIndex).fileName;
    for (int attempt = 0; attempt <= m_maxRetries; ++attempt) {
        if (attempt > 0) {
            m_progressWindow.setStatusText(QStringLiteral("第%1次重试下载: %2").arg(QString::number(attempt), fileName));
            logInfo(QStringLiteral("重试下载: %1, 尝试次数: %2").arg(fileName, QString::number(attempt)));
        }
        if (downloadCurrentFile())
            return true;
        if (attempt < m_maxRetries) {
            logWarn(QStringLiteral("下载失败，等待重试: %1").arg(fileName));
            // A plain pause: the server gets a moment, and nothing else is meant to run meanwhile.
            QThread::msleep(static_cast<unsigned long>(m_retryPauseMs));
        }
    }
    logError(QStringLiteral("下载最终失败，已达到最大重试次数: %1").arg(fileName));
    return false;
}

bool CTCPUpdate::downloadCurrentFile()
{
    const int count = m_downloadList.size();
    if (m_currentIndex >= count)
        return false;
    const FileItem item = m_downloadList.at(m_currentIndex);
    m_progressWindow.setStatus(
        QStringLiteral("正在下载: %1 (%2/%3)")
            .arg(item.fileName, QString::number(m_currentIndex + 1), QString::number(count)), 0);
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
    m_progressWindow.setStatus(
        QStringLiteral("总体进度: %1/%2 (%3%)").arg(m_currentIndex).arg(count).arg(percent), percent);
    logInfo(QStringLiteral("下载进度更新: %1/%2 (%3%)").arg(m_currentIndex).arg(count).arg(percent));
}

void CTCPUpdate::handleFailure(const QString &fileName)
{
    const ErrorType type = classifyError(QStringLiteral("下载失败"));
    switch (type) {
    case NetworkError:
        m_progressWindow.showError(QStringLiteral("网络错误，重试失败: %1").arg(fileName));
        break;
    case FileError:
        m_progressWindow.showError(QStringLiteral("文件系统错误，重试失败: %1").arg(fileName));
        break;
    case TimeoutError:
        m_progressWindow.showError(QStringLiteral("下载超时，重试失败: %1").arg(fileName));
        break;
    case CancelError:
        m_progressWindow.setStatusText(QStringLiteral("下载已取消"));
        break;
    case UnknownError:
        m_progressWindow.showError(QStringLiteral("未知错误，重试失败: %1").arg(fileName));
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
    const int percent = total == 0 ? 0 : static_cast<int>(static_cast<double>(downloaded) / total * PercentScale);
    logInfo(QStringLiteral("TCP文件下载进度:%1 %2/%3 %4%")
                .arg(fileName, QString::number(downloaded), QString::number(total), QString::number(percent)));
    const bool boundary = downloaded == 0 || downloaded >= total;
    if (!boundary && m_windowRefresh.isValid() && m_windowRefresh.elapsed() < WindowRefreshIntervalMs)
        return;
    m_windowRefresh.start();
    m_progressWindow.updateFileProgress(fileName, downloaded, total);
    m_progressWindow.setStatus(
        QStringLiteral("下载文件: %1 (%2/%3)").arg(fileName, formatFileSize(downloaded), formatFileSize(total)),
        percent);
}

void CTCPUpdate::onFileDownloadCompleted(const QString &filePath, const QString &fileName)
{
    Q_UNUSED(filePath)
    m_progressWindow.setStatusText(QStringLiteral("文件下载完成: %1").arg(fileName));
    logInfo(QStringLiteral("TCP文件下载完成:%1").arg(fileName));
}

void CTCPUpdate::onFileDownloadError(const QString &filePath, const QString &fileName, const QString &error)
{
    Q_UNUSED(filePath)
    m_progressWindow.showError(QStringLiteral("文件下载失败: %1 - %2").arg(fileName, error));
    qWarning() << "TCP文件下载错误:" << fileName << "-" << error;
}
