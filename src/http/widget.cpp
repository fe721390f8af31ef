#include "widget.h"
#include "ui_widget.h"

#include "app/logging.h"
#include "app/resources.h"
#include "config/systemconfig.h"
#include "fileops/pathrules.h"
#include "httpconstants.h"

#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QNetworkRequest>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QUrl>

using namespace HttpConstants;

namespace {

// Blanks between the font and the colour of the two status labels' style sheets.
constexpr int StyleSheetGap = 36;

QString labelStyleSheet(const char *pointSize)
{
    return QStringLiteral("font: 700 %1 \"Microsoft YaHei UI\";").arg(QLatin1String(pointSize))
        + QString(StyleSheetGap, QLatin1Char(' ')) + QStringLiteral("color: rgb(0, 0, 0);");
}

// A GET that follows redirects unless they lead somewhere less safe (https to http), and gives up
// when nothing arrives for the transfer time-out.
QNetworkRequest makeRequest(const QString &url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setTransferTimeout(TransferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    return request;
}

// Copies everything the reply holds right now into the file; false when a write falls short.
bool copyReplyToFile(QNetworkReply *reply, QFile &file)
{
    while (reply->bytesAvailable() > 0) {
        const QByteArray chunk = reply->read(CopyChunkSize);
        if (chunk.isEmpty())
            break;
        if (file.write(chunk) != chunk.size())
            return false;
    }
    return true;
}

void setProgress(QProgressBar *bar, qint64 received, qint64 total)
{
    if (bar && total > 0)
        bar->setValue(static_cast<int>(received * PercentMax / total));
}

// A list path (or the server's folder) percent-encoded for a URL: "/", letters, digits and "-._~" stay, everything else
// ("#", "?", "%", blanks, non-ASCII) is escaped so that it reaches the server as part of the path.
QString encodeListPath(const QString &path)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(path, QByteArrayLiteral("/")));
}

} // namespace

Widget::Widget(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::Widget)
    , m_appDir(CSystemConfig::appDirPath() + QLatin1Char('/'))
{
    ui->setupUi(this);
    initUi();
}

Widget::~Widget()
{
    emit sigUpdateResult(false);
    // A reply still running would otherwise report into a half-destroyed dialog.
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    discardPartialFile();
    delete ui;
}

void Widget::initUi()
{
    setWindowTitle(QStringLiteral("HTTP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(WindowWidth, WindowHeight);

    ui->label_update->setStyleSheet(labelStyleSheet("16pt"));
    ui->label_updatefile->setStyleSheet(labelStyleSheet("14pt"));
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        bar->setStyleSheet(QStringLiteral("color: rgb(255, 255, 255);"));
        bar->setRange(0, PercentMax);
        bar->setValue(0);
    }
    connect(ui->pushButton_cancel, &QPushButton::clicked, this, &Widget::onCancelUpdate);
}

void Widget::paintEvent(QPaintEvent *event)
{
    ensureResources();
    {
        QPainter painter(this);
        painter.drawPixmap(rect(), QPixmap(QString::fromLatin1(BackgroundImagePath)));
    }
    QWidget::paintEvent(event);
}

void Widget::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
}

void Widget::refreshStatusLabels()
{
    ui->label_update->setText(m_status.stageText);
    ui->label_updatefile->setText(m_status.detailText);
}

QString Widget::updateDir() const
{
    return m_appDir + QLatin1String(UpdateDirName);
}

bool Widget::downloadFile(const QString &url, const QString &localPath, QProgressBar *progressBar)
{
    m_status.detailText.clear();

    const QDir dir = QFileInfo(localPath).absoluteDir();
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        m_status.detailText = QStringLiteral("无法创建目录:") + dir.path();
        return false;
    }

    QFile file(localPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_status.detailText = QStringLiteral("无法打开文件:") + localPath;
        return false;
    }

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(makeRequest(url));
    reply->setReadBufferSize(ReplyReadBufferSize);

    QEventLoop loop;
    bool writeFailed = false;
    auto failWrite = [&] {
        writeFailed = true;
        m_status.detailText = QStringLiteral("无法写入文件:") + localPath;
        reply->abort();
    };
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (!writeFailed && !copyReplyToFile(reply, file))
            failWrite();
    });
    if (progressBar) {
        connect(reply, &QNetworkReply::downloadProgress, progressBar,
                [progressBar](qint64 received, qint64 total) { setProgress(progressBar, received, total); });
    }
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::errorOccurred, &loop, [&](QNetworkReply::NetworkError code) {
        if (!writeFailed) {
            switch (code) {
            case QNetworkReply::TimeoutError:
                m_status.detailText = QStringLiteral("下载超时（") + QString::number(TransferTimeoutMs / MsPerSecond)
                    + QStringLiteral("秒）：") + url;
                break;
            case QNetworkReply::OperationCanceledError:
                m_status.detailText = QStringLiteral("下载被取消：") + url;
                break;
            default:
                m_status.detailText = QStringLiteral("下载错误：") + reply->errorString() + QStringLiteral("（URL：")
                    + url + QStringLiteral("）");
                break;
            }
        }
        loop.quit();
    });

    if (!reply->isFinished())
        loop.exec();

    bool success = false;
    if (reply->error() == QNetworkReply::NoError && !writeFailed) {
        if (copyReplyToFile(reply, file) && file.flush()) {
            logInfo(QStringLiteral("下载成功:") + localPath);
            success = true;
        } else {
            m_status.detailText = QStringLiteral("无法写入文件:") + localPath;
        }
    }
    reply->disconnect(&loop);
    reply->deleteLater();
    file.close();
    if (!success && QFile::exists(localPath))
        QFile::remove(localPath);
    return success;
}

int Widget::checkVersion()
{
    m_status.stageText = QStringLiteral("准备开始更新");
    const QString tmpPath = updateDir() + QLatin1String(VersionTmpFileName);
    const QString url = CSystemConfig::instance().url() + QLatin1String(VersionFileName);
    m_tempFiles.append(tmpPath);

    if (!downloadFile(url, tmpPath)) {
        m_status.stageText = QStringLiteral("停止更新");
        m_status.detailText = QStringLiteral("下载%1失败").arg(url);
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::DownloadFailed);
    }
    m_status.detailText = QStringLiteral("下载%1成功").arg(url);
    refreshStatusLabels();

    if (!parseServerVersion()) {
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::ParseFailed);
    }

    const QString localPath = updateDir() + QLatin1String(VersionFileName);
    if (!QFileInfo(localPath).isFile()) {
        m_status.detailText = QStringLiteral("本地update文件不存在，准备更新");
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::UpdateNeeded);
    }

    QSettings local(localPath, QSettings::IniFormat);
    const QString localVersion =
        local.value(QStringLiteral("%1/%2").arg(QLatin1String(VersionGroup), QLatin1String(VersionKey))).toString();
    if (localVersion == m_serverVersion) {
        m_status.detailText = QStringLiteral("update文件版本相同，不需要更新");
        if (QFile::exists(tmpPath))
            QFile::remove(tmpPath);
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::UpToDate);
    }
    m_status.detailText = QStringLiteral("update文件版本不同，需要更新");
    refreshStatusLabels();
    return static_cast<int>(VersionCheckResult::UpdateNeeded);
}

bool Widget::parseServerVersion()
{
    QSettings server(updateDir() + QLatin1String(VersionTmpFileName), QSettings::IniFormat);
    server.beginGroup(QLatin1String(VersionGroup));
    m_serverFolder = server.value(QLatin1String(FolderKey)).toString();
    m_serverVersion = server.value(QLatin1String(VersionKey)).toString();
    server.endGroup();

    if (!m_serverFolder.isEmpty() && !m_serverVersion.isEmpty()) {
        m_serverFolder += QLatin1Char('/');
        return true;
    }
    m_status.stageText = QStringLiteral("更新失败");
    m_status.detailText = QStringLiteral("服务端版本解析失败");
    return false;
}

int Widget::checkMd5()
{
    m_status.stageText = QStringLiteral("准备开始更新");
    const QString tmpPath = updateDir() + QLatin1String(Md5TmpFileName);
    const QString url = CSystemConfig::instance().url() + encodeListPath(m_serverFolder) + QLatin1String(Md5ListFileName);
    m_tempFiles.append(tmpPath);

    if (!downloadFile(url, tmpPath, ui->progressBar_updatefile)) {
        m_status.stageText = QStringLiteral("更新失败");
        m_status.detailText = QStringLiteral("下载%1失败").arg(QLatin1String(Md5ListFileName));
        refreshStatusLabels();
        return static_cast<int>(Md5CheckResult::DownloadFailed);
    }
    m_status.detailText = QStringLiteral("MD5比对");
    refreshStatusLabels();

    const QString localListPath = m_appDir + QLatin1String(Md5ListFileName);
    if (!QFileInfo(localListPath).isFile())
        Md5ListGenerator(m_appDir).generate();

    const Md5List local = readMd5List(localListPath);
    const Md5List server = readMd5List(tmpPath);
    m_downloadMap = compareMd5Lists(local, server);
    return static_cast<int>(m_downloadMap.isEmpty() ? Md5CheckResult::NoChanges : Md5CheckResult::ChangesFound);
}

void Widget::startUpdate()
{
    ui->pushButton_cancel->setEnabled(true);
    startDownloadQueue(m_downloadMap);
}

void Widget::startDownloadQueue(const Md5List &files)
{
    m_status.isUpdating = true;
    m_status.stageText = QStringLiteral("正在更新");
    m_status.detailText.clear();

    m_queue.clear();
    m_index = 0;
    m_total = files.size();

    const CSystemConfig &config = CSystemConfig::instance();
    const QString tempPath = config.tempPath();
    // The list comes from the server: a path that would land outside the temporary directory
    // ends the update before anything is requested or written.
    if (!CSystemConfig::isSafeSubDirectory(tempPath)) {
        m_status.detailText = QStringLiteral("临时目录设置不安全:") + tempPath;
        logError(QStringLiteral("临时目录设置不安全:") + tempPath);
        m_total = 0;
        onUpdateCompleted(false);
        return;
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!isSafeListPath(it.key())) {
            m_status.detailText = QStringLiteral("文件路径不安全:") + it.key();
            logError(QStringLiteral("MD5列表中的文件路径不安全，拒绝下载:") + it.key());
            m_total = 0;
            onUpdateCompleted(false);
            return;
        }
    }
    // Windows keeps one file for two paths that differ only in letter case. The server's whole
    // list counts: a changed file may be the twin of an unchanged one.
    const QString collision =
        firstCaseCollision(files.keys() + readMd5List(updateDir() + QLatin1String(Md5TmpFileName)).keys());
    if (!collision.isEmpty()) {
        m_status.detailText = QStringLiteral("文件路径不安全:") + collision;
        logError(QStringLiteral("MD5列表中有仅大小写不同的文件路径，拒绝下载:") + collision);
        m_total = 0;
        onUpdateCompleted(false);
        return;
    }

    const QString baseUrl = config.url() + encodeListPath(m_serverFolder);
    const QString baseLocal = m_appDir + tempPath;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        m_queue.append(DownloadTask{baseUrl + encodeListPath(it.key()), baseLocal + it.key(), it.value()});

    ui->progressBar_update->setValue(0);
    ui->progressBar_update->setRange(0, m_total);
    ui->label_update->setText(QStringLiteral("正在更新") + QStringLiteral("准备更新 %1 个文件").arg(m_total));

    if (m_queue.isEmpty())
        onUpdateCompleted(true);
    else
        downloadNextFile();
}

void Widget::downloadNextFile()
{
    if (m_status.cancelRequested) {
        onUpdateCompleted(false);
        return;
    }
    if (m_index >= m_total) {
        onUpdateCompleted(true);
        return;
    }

    const DownloadTask &task = m_queue.at(m_index);
    m_status.stageText = QStringLiteral("%1 %2/%3").arg(QStringLiteral("正在更新")).arg(m_index + 1).arg(m_total);
    m_status.detailText = QFileInfo(task.localPath).fileName();
    refreshStatusLabels();

    QDir().mkpath(QFileInfo(task.localPath).absolutePath());

    // The body goes straight to disk as it arrives, so the file is opened before the request.
    auto file = std::make_unique<QFile>(task.localPath);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_status.detailText = QStringLiteral("无法保存文件:") + task.localPath;
        logError(QStringLiteral("无法保存文件:") + task.localPath);
        onUpdateCompleted(false);
        return;
    }
    m_file = std::move(file);

    m_reply = m_manager.get(makeRequest(task.url));
    m_reply->setReadBufferSize(ReplyReadBufferSize);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (m_reply && sender() == m_reply && !writeReceivedData())
            failOnWriteError();
    });
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Widget::onDownloadProgress);
    connect(m_reply, &QNetworkReply::finished, this, &Widget::onDownloadFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &Widget::onDownloadError);
}

bool Widget::writeReceivedData()
{
    return m_file && copyReplyToFile(m_reply, *m_file);
}

void Widget::failOnWriteError()
{
    const QString localPath = m_queue.at(m_index).localPath;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    // Cut the reply loose first: its abort must not report a network error in place of ours.
    reply->disconnect(this);
    reply->abort();
    reply->deleteLater();
    m_status.detailText = QStringLiteral("无法保存文件:") + localPath;
    logError(QStringLiteral("无法保存文件:") + localPath);
    onUpdateCompleted(false);
}

void Widget::discardPartialFile()
{
    if (!m_file)
        return;
    m_file->close();
    m_file->remove();
    m_file.reset();
}

void Widget::onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal)
{
    setProgress(ui->progressBar_updatefile, bytesReceived, bytesTotal);
}

void Widget::onDownloadFinished()
{
    if (m_status.cancelRequested) {
        if (m_reply) {
            m_reply->deleteLater();
            m_reply = nullptr;
        }
        onUpdateCompleted(false);
        return;
    }
    // A reply that is no longer ours has already been dealt with by the error handler.
    if (!m_reply || sender() != m_reply)
        return;

    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    const DownloadTask task = m_queue.at(m_index);

    if (reply->error() != QNetworkReply::NoError) {
        m_status.detailText = QStringLiteral("文件下载失败:") + reply->errorString();
        logError(QStringLiteral("文件下载失败:") + reply->errorString());
        reply->deleteLater();
        onUpdateCompleted(false);
        return;
    }

    const bool saved = m_file && copyReplyToFile(reply, *m_file) && m_file->flush();
    reply->deleteLater();
    if (!saved) {
        m_status.detailText = QStringLiteral("无法保存文件:") + task.localPath;
        logError(QStringLiteral("无法保存文件:") + task.localPath);
        onUpdateCompleted(false);
        return;
    }
    m_file->close();
    m_file.reset();

    if (!verifyFileMd5(task.localPath, task.md5)) {
        logError(QStringLiteral("文件MD5验证失败:") + task.localPath);
        QFile::remove(task.localPath);
        onUpdateCompleted(false);
        return;
    }
    logInfo(QStringLiteral("文件下载成功并验证通过:") + task.localPath);

    ui->progressBar_update->setValue(m_index + 1);
    ++m_index;
    downloadNextFile();
}

void Widget::onDownloadError(QNetworkReply::NetworkError error)
{
    Q_UNUSED(error)
    m_status.detailText.clear();
    if (m_reply) {
        m_status.detailText = QStringLiteral("下载错误:") + m_reply->errorString();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    onUpdateCompleted(false);
}

void Widget::onUpdateCompleted(bool success)
{
    m_status.isUpdating = false;
    m_status.cancelRequested = false;
    if (success) {
        ui->label_update->setText(QStringLiteral("更新完成!"));
        ui->progressBar_updatefile->setValue(PercentMax);
    } else {
        discardPartialFile();
        cleanupTempFiles();
        m_status.stageText = QStringLiteral("更新失败");
        if (m_status.detailText.isEmpty())
            m_status.detailText = QStringLiteral("未知错误");
        refreshStatusLabels();
    }
    emit sigUpdateResult(success);
    ui->pushButton_cancel->setEnabled(false);
}

void Widget::onCancelUpdate()
{
    if (m_status.cancelRequested || !m_status.isUpdating)
        return;

    QMessageBox box(this);
    box.setWindowTitle(QStringLiteral("确认取消"));
    box.setText(QStringLiteral("确定要取消更新吗？未完成的更新将不会被应用。"));
    box.setIcon(QMessageBox::Question);
    QPushButton *confirm = box.addButton(QStringLiteral("确认"), QMessageBox::YesRole);
    QPushButton *keepGoing = box.addButton(QStringLiteral("取消"), QMessageBox::NoRole);
    box.setDefaultButton(keepGoing);
    box.exec();
    if (box.clickedButton() != confirm)
        return;

    m_status.cancelRequested = true;
    m_status.isUpdating = false;
    m_status.stageText = QStringLiteral("正在取消更新");
    ui->pushButton_cancel->setEnabled(false);

    if (m_reply) {
        // The abort reports OperationCanceledError synchronously: onDownloadError ends the update
        // and releases the reply before abort() returns, so m_reply must be tested again.
        m_reply->abort();
        if (m_reply) {
            m_reply->deleteLater();
            m_reply = nullptr;
        }
    }
    m_queue.clear();
    cleanupTempFiles();
}

bool Widget::verifyFileMd5(const QString &localPath, const QString &md5) const
{
    return fileMd5(localPath) == md5;
}

void Widget::cleanupTempFiles()
{
    for (const QString &path : qAsConst(m_tempFiles)) {
        if (QFile::exists(path))
            QFile::remove(path);
    }

    QDir dir(updateDir());
    if (!dir.exists())
        return;
    const QFileInfoList entries = dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        if (entry.fileName() == QLatin1String(VersionFileName))
            continue;
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
    logInfo("取消/失败后清理临时文件完成");
}

void Widget::closeEvent(QCloseEvent *event)
{
    if (m_status.isUpdating && !m_status.cancelRequested)
        cleanupTempFiles();
    QDialog::closeEvent(event);
}

void Widget::reject()
{
    if (m_status.isUpdating && !m_status.cancelRequested)
        cleanupTempFiles();
    QDialog::reject();
}
