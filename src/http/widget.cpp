#include "widget.h"
#include "ui_widget.h"

#include "app/logging.h"
#include "app/resources.h"
#include "config/systemconfig.h"
#include "fileops/pathrules.h"
#include "fileops/transferwatchdog.h"
#include "fileops/workdirs.h"
#include "httpconstants.h"

#include <QCloseEvent>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLayout>
#include <QMessageBox>
#include <QNetworkRequest>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif
#include <QTimer>
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
QNetworkRequest makeRequest(const QString &url, int transferTimeoutMs, const QList<QSslCertificate> &trustedCas)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setTransferTimeout(transferTimeoutMs);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
#if QT_CONFIG(ssl)
    // A private CA replaces the system's trust store for every request.
    if (!trustedCas.isEmpty()) {
        QSslConfiguration ssl = QSslConfiguration::defaultConfiguration();
        ssl.setCaCertificates(trustedCas);
        request.setSslConfiguration(ssl);
    }
#else
    Q_UNUSED(trustedCas)
#endif
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

// Why a reply failed, for the log and the caller: the HTTP status when the server sent one,
// otherwise the network layer's text.
QString replyFailure(QNetworkReply *reply)
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= HttpErrorStatus) {
        const QString phrase = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return phrase.isEmpty() ? QStringLiteral("HTTP %1").arg(status) : QStringLiteral("HTTP %1 %2").arg(status).arg(phrase);
    }
    return reply->errorString();
}

void logRequestFailure(const QString &url, const QString &reason)
{
    logError(QStringLiteral("请求失败: ") + url + QStringLiteral(" (") + reason + QLatin1Char(')'));
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

HttpLimits HttpLimits::defaults()
{
    return {MaxVersionFileBytes, MaxMd5ListBytes, MaxFileBytes, MinBytesPerSecond, RateWindowMs, CheckDeadlineMs,
            TransferTimeoutMs};
}

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
    // A queue that is still running owes its result; one that has reported owes nothing more.
    if (QNetworkReply *reply = takeReply())
        reply->abort();
    if (m_resultOwed) {
        m_status.detailText = QStringLiteral("下载被中止");
        onUpdateCompleted(false);
    }
    discardPartialFile();
    delete ui;
}

QNetworkReply *Widget::takeReply()
{
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    dropWatchdog();
    if (reply) {
        // Nothing the reply still reports reaches the dialog; it is deleted once the caller has
        // read what it needs.
        reply->disconnect(this);
        reply->deleteLater();
    }
    return reply;
}

void Widget::initUi()
{
    setWindowTitle(QStringLiteral("HTTP升级"));
    setWindowFlags(Qt::FramelessWindowHint);
    setFixedSize(WindowWidth, WindowHeight);

    ui->label_update->setStyleSheet(labelStyleSheet("16pt"));
    ui->label_updatefile->setStyleSheet(labelStyleSheet("14pt"));
    for (QProgressBar *bar : {ui->progressBar_update, ui->progressBar_updatefile}) {
        // No style sheet: the style then draws the percentage in a colour that stands out from
        // both the filled and the empty part of the bar. A fixed text colour is unreadable on one
        // of them, and style sheet alignment draws part of the text in the filled part's colour.
        bar->setStyleSheet(QString());
        bar->setAlignment(Qt::AlignCenter);
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
    setElidedText(ui->label_updatefile, m_status.detailText);
}

void Widget::setElidedText(QLabel *label, const QString &text)
{
    if (layout())
        layout()->activate();
    const int width = label->contentsRect().width();
    const QString shown = width > 0 ? label->fontMetrics().elidedText(text, Qt::ElideMiddle, width) : text;
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

QNetworkRequest Widget::request(const QString &url) const
{
    return makeRequest(url, m_limits.transferTimeoutMs, m_trustedCas);
}

bool Widget::loadTrust()
{
    const QString caFile = CSystemConfig::instance().caFile();
    if (caFile.isEmpty() || !m_trustedCas.isEmpty())
        return true;
    const QString path = m_appDir + caFile;
#if !QT_CONFIG(ssl)
    // Trusting a private CA is pointless where no TLS connection can be made at all.
    failCheck(QStringLiteral("此版本不支持HTTPS，无法使用CA证书文件([Update] CaFile): ") + path);
    return false;
#endif
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        m_trustedCas = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (m_trustedCas.isEmpty()) {
        failCheck(QStringLiteral("CA证书文件无法使用([Update] CaFile): ") + path);
        return false;
    }
    logInfo(QStringLiteral("HTTPS只信任CA证书文件中的证书: ") + path);
    return true;
}

QString Widget::installedVersion() const
{
    const QString path = updateDir() + QLatin1String(VersionFileName);
    if (!QFileInfo(path).isFile())
        return QString();
    QSettings local(path, QSettings::IniFormat);
    return local.value(QStringLiteral("%1/%2").arg(QLatin1String(VersionGroup), QLatin1String(VersionKey))).toString();
}

void Widget::failCheck(const QString &error)
{
    m_checkError = error;
    logError(QStringLiteral("检查更新失败: ") + error);
}

QString Widget::updateDir() const
{
    return m_appDir + QLatin1String(UpdateDirName);
}

bool Widget::downloadFile(const QString &url, const QString &localPath, QProgressBar *progressBar, qint64 maxBytes)
{
    m_status.detailText.clear();
    m_lastRequestError.clear();

    const QDir dir = QFileInfo(localPath).absoluteDir();
    if (!dir.exists() && !dir.mkpath(QStringLiteral("."))) {
        m_status.detailText = QStringLiteral("无法创建目录:") + dir.path();
        m_lastRequestError = m_status.detailText;
        return false;
    }

    QFile file(localPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_status.detailText = QStringLiteral("无法打开文件:") + localPath;
        m_lastRequestError = m_status.detailText;
        return false;
    }

    QNetworkAccessManager manager;
    QNetworkReply *reply = manager.get(request(url));
    reply->setReadBufferSize(ReplyReadBufferSize);

    QEventLoop loop;
    bool writeFailed = false;
    // Why we ended the reply ourselves; an abort we did not make is the transfer time-out.
    QString abortReason;
    auto abortWith = [&](const QString &reason) {
        if (!abortReason.isEmpty() || reply->isFinished())
            return;
        abortReason = reason;
        reply->abort();
    };
    auto failWrite = [&] {
        writeFailed = true;
        m_status.detailText = QStringLiteral("无法写入文件:") + localPath;
        abortWith(m_status.detailText);
    };
    auto tooLarge = [&](qint64 bytes) { return maxBytes > 0 && bytes > maxBytes; };
    const QString tooLargeText = QStringLiteral("超出大小上限(%1 字节)").arg(maxBytes);
    connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        if (tooLarge(reply->header(QNetworkRequest::ContentLengthHeader).toLongLong()))
            abortWith(tooLargeText);
    });
    TransferWatchdog watchdog({0, m_limits.minBytesPerSecond, m_limits.rateWindowMs});
    connect(reply, &QNetworkReply::readyRead, &loop, [&] {
        if (writeFailed || !abortReason.isEmpty())
            return;
        if (tooLarge(file.size() + reply->bytesAvailable())) {
            abortWith(tooLargeText);
            return;
        }
        if (!copyReplyToFile(reply, file))
            failWrite();
        watchdog.setBytes(file.size());
    });
    connect(&watchdog, &TransferWatchdog::timedOut, &loop,
            [&](TransferWatchdog::Reason reason) { abortWith(watchdog.describe(reason)); });
    // The checks together have a deadline: a server that keeps each request just alive must not
    // hold the run.
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, [&] {
        abortWith(QStringLiteral("超时: 检查更新超过 %1 秒").arg(m_limits.checkDeadlineMs / MsPerSecond));
    });
    if (!m_checkDeadline.isForever())
        deadline.start(static_cast<int>(qMax<qint64>(0, m_checkDeadline.remainingTime())));
    if (progressBar) {
        connect(reply, &QNetworkReply::downloadProgress, progressBar,
                [progressBar](qint64 received, qint64 total) { setProgress(progressBar, received, total); });
    }
    connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    connect(reply, &QNetworkReply::errorOccurred, &loop, [&](QNetworkReply::NetworkError code) {
        if (!writeFailed) {
            if (!abortReason.isEmpty()) {
                m_status.detailText = QStringLiteral("下载错误：") + abortReason + QStringLiteral("（URL：") + url
                    + QStringLiteral("）");
            } else if (code == QNetworkReply::TimeoutError || code == QNetworkReply::OperationCanceledError) {
                // Nobody cancels these requests: an abort we did not make is the transfer time-out.
                m_status.detailText = QStringLiteral("下载超时（") + QString::number(m_limits.transferTimeoutMs / MsPerSecond)
                    + QStringLiteral("秒）：") + url;
            } else {
                m_status.detailText = QStringLiteral("下载错误：") + reply->errorString() + QStringLiteral("（URL：")
                    + url + QStringLiteral("）");
            }
        }
        loop.quit();
    });

    watchdog.start();
    if (!reply->isFinished())
        loop.exec();
    watchdog.stop();
    deadline.stop();
    // The loop can also end because the whole program is ending; an unfinished reply is no
    // download.
    if (!reply->isFinished()) {
        reply->disconnect(&loop);
        reply->abort();
        if (m_status.detailText.isEmpty())
            m_status.detailText = QStringLiteral("下载被取消：") + url;
    }

    bool success = false;
    if (reply->isFinished() && reply->error() == QNetworkReply::NoError && !writeFailed && abortReason.isEmpty()) {
        if (!tooLarge(file.size() + reply->bytesAvailable()) && copyReplyToFile(reply, file) && file.flush()) {
            logInfo(QStringLiteral("下载成功:") + localPath);
            success = true;
        } else {
            m_status.detailText = QStringLiteral("无法写入文件:") + localPath;
        }
    }
    if (!success) {
        if (!abortReason.isEmpty())
            m_lastRequestError = abortReason;
        else if (writeFailed || reply->error() == QNetworkReply::NoError)
            m_lastRequestError = m_status.detailText.isEmpty() ? tooLargeText : m_status.detailText;
        else if (reply->error() == QNetworkReply::OperationCanceledError || reply->error() == QNetworkReply::TimeoutError)
            m_lastRequestError = QStringLiteral("超时: %1 秒内未收到数据").arg(m_limits.transferTimeoutMs / MsPerSecond);
        else
            m_lastRequestError = replyFailure(reply);
        logRequestFailure(url, m_lastRequestError);
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
    m_checkError.clear();
    m_status.stageText = QStringLiteral("准备开始更新");
    const QString tmpPath = updateDir() + QLatin1String(VersionTmpFileName);
    const QString baseUrl = CSystemConfig::instance().url();
    const QString url = baseUrl + QLatin1String(VersionFileName);
    m_tempFiles.append(tmpPath);

    // File names are appended to the address as they are: without the final "/" every request
    // would go to a wrong place and fail for a reason the user could not see.
    if (baseUrl.isEmpty() || !baseUrl.endsWith(QLatin1Char('/'))) {
        failCheck(baseUrl.isEmpty() ? QStringLiteral("未配置HTTP升级地址([Update] URL)")
                                    : QStringLiteral("HTTP升级地址必须以/结尾([Update] URL): ") + baseUrl);
        m_status.stageText = QStringLiteral("停止更新");
        m_status.detailText = m_checkError;
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::DownloadFailed);
    }
    if (!loadTrust()) {
        m_status.stageText = QStringLiteral("停止更新");
        m_status.detailText = m_checkError;
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::DownloadFailed);
    }

    // The deadline covers this check and the MD5 comparison after it.
    m_checkDeadline = QDeadlineTimer(m_limits.checkDeadlineMs);
    if (!downloadFile(url, tmpPath, nullptr, m_limits.versionFileBytes)) {
        failCheck(QStringLiteral("下载%1失败: ").arg(url) + m_lastRequestError);
        m_status.stageText = QStringLiteral("停止更新");
        m_status.detailText = QStringLiteral("下载%1失败").arg(url);
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::DownloadFailed);
    }
    m_status.detailText = QStringLiteral("下载%1成功").arg(url);
    refreshStatusLabels();

    if (!parseServerVersion()) {
        failCheck(QStringLiteral("服务端版本解析失败: ") + url);
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::ParseFailed);
    }

    const QString localPath = updateDir() + QLatin1String(VersionFileName);
    if (!QFileInfo(localPath).isFile()) {
        m_status.detailText = QStringLiteral("本地update文件不存在，准备更新");
        refreshStatusLabels();
        return static_cast<int>(VersionCheckResult::UpdateNeeded);
    }

    if (installedVersion() == m_serverVersion) {
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
    m_checkError.clear();
    m_status.stageText = QStringLiteral("准备开始更新");
    const QString tmpPath = updateDir() + QLatin1String(Md5TmpFileName);
    const QString url = CSystemConfig::instance().url() + encodeListPath(m_serverFolder) + QLatin1String(Md5ListFileName);
    m_tempFiles.append(tmpPath);

    if (!downloadFile(url, tmpPath, ui->progressBar_updatefile, m_limits.md5ListBytes)) {
        failCheck(QStringLiteral("下载%1失败: ").arg(url) + m_lastRequestError);
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

    const Md5List server = readMd5List(tmpPath);
    // A release lists at least one file; an empty list is an error page or a broken upload, and
    // taking it as "nothing changed" would report an update that was never checked.
    if (server.isEmpty()) {
        failCheck(QStringLiteral("服务端MD5列表为空或无法解析: ") + url);
        m_status.stageText = QStringLiteral("更新失败");
        m_status.detailText = QStringLiteral("服务端MD5列表为空或无法解析");
        refreshStatusLabels();
        return static_cast<int>(Md5CheckResult::ParseFailed);
    }
    const Md5List local = readMd5List(localListPath);
    m_downloadMap = compareMd5Lists(local, server);
    return static_cast<int>(m_downloadMap.isEmpty() ? Md5CheckResult::NoChanges : Md5CheckResult::ChangesFound);
}

void Widget::startUpdate()
{
    m_checkDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    ui->pushButton_cancel->setEnabled(true);
    startDownloadQueue(m_downloadMap);
}

void Widget::startDownloadQueue(const Md5List &files)
{
    // A queue still running is abandoned: its reply goes, its result is not owed any more.
    if (QNetworkReply *reply = takeReply())
        reply->abort();
    discardPartialFile();
    m_resultOwed = true;
    m_cancelled = false;
    m_ended = false;
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
    if (!pathProblem(tempPath, PathKind::WorkDirectory).isEmpty()) {
        m_status.detailText = QStringLiteral("临时目录设置不安全:") + tempPath;
        logError(QStringLiteral("临时目录设置不安全:") + tempPath);
        m_total = 0;
        onUpdateCompleted(false);
        return;
    }
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!pathProblem(it.key(), PathKind::ListPath).isEmpty()) {
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
    // Without its trailing "/": every list path begins with one.
    const QString baseLocal = WorkDirs(m_appDir, tempPath, QString()).tempDir().chopped(1);
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

    m_reply = m_manager.get(request(task.url));
    m_reply->setReadBufferSize(ReplyReadBufferSize);
    m_watchdog = std::make_unique<TransferWatchdog>(
        TransferWatchdog::Limits{0, m_limits.minBytesPerSecond, m_limits.rateWindowMs});
    connect(m_watchdog.get(), &TransferWatchdog::timedOut, this, [this](TransferWatchdog::Reason reason) {
        const QString why = m_watchdog->describe(reason);
        failActiveDownload(QStringLiteral("下载错误:") + why, why);
    });
    m_watchdog->start();
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this] {
        if (m_reply && sender() == m_reply)
            (void)withinSizeLimit();
    });
    connect(m_reply, &QNetworkReply::readyRead, this, [this] {
        if (!m_reply || sender() != m_reply || !withinSizeLimit())
            return;
        if (!writeReceivedData()) {
            const QString localPath = m_queue.at(m_index).localPath;
            failActiveDownload(QStringLiteral("无法保存文件:") + localPath, QStringLiteral("无法保存文件:") + localPath);
            return;
        }
        if (m_watchdog)
            m_watchdog->setBytes(m_file->size());
    });
    connect(m_reply, &QNetworkReply::downloadProgress, this, &Widget::onDownloadProgress);
    connect(m_reply, &QNetworkReply::finished, this, &Widget::onDownloadFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &Widget::onDownloadError);
}

bool Widget::writeReceivedData()
{
    return m_file && copyReplyToFile(m_reply, *m_file);
}

bool Widget::withinSizeLimit()
{
    // The announced size when there is one, else the general limit: a body that goes on without
    // end must not fill the disk.
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 limit = announced.isValid() ? qMin(announced.toLongLong(), m_limits.fileBytes) : m_limits.fileBytes;
    const qint64 size = (m_file ? m_file->size() : 0) + m_reply->bytesAvailable();
    if (size <= limit && (!announced.isValid() || announced.toLongLong() <= m_limits.fileBytes))
        return true;
    const QString why = QStringLiteral("超出大小上限(%1 字节)").arg(limit);
    failActiveDownload(QStringLiteral("下载错误:") + why, why);
    return false;
}

void Widget::dropWatchdog()
{
    // It may be the one reporting right now: it goes once its signal has returned.
    if (m_watchdog) {
        m_watchdog->stop();
        m_watchdog.release()->deleteLater();
    }
}

void Widget::failActiveDownload(const QString &detail, const QString &reason)
{
    const QString url = m_queue.at(m_index).url;
    // Cut loose first: its abort must not report a network error in place of ours.
    if (QNetworkReply *reply = takeReply())
        reply->abort();
    m_status.detailText = detail;
    logRequestFailure(url, reason);
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
    // A reply that is no longer ours has already been dealt with.
    if (!m_reply || sender() != m_reply)
        return;
    // What is left in the reply must fit the limit too.
    if (m_reply->error() == QNetworkReply::NoError && !withinSizeLimit())
        return;
    QNetworkReply *reply = takeReply();
    const DownloadTask task = m_queue.at(m_index);

    if (reply->error() != QNetworkReply::NoError) {
        m_status.detailText = QStringLiteral("文件下载失败:") + reply->errorString();
        logError(QStringLiteral("文件下载失败:") + reply->errorString());
        logRequestFailure(task.url, replyFailure(reply));
        onUpdateCompleted(false);
        return;
    }

    const bool saved = m_file && copyReplyToFile(reply, *m_file) && m_file->flush();
    if (!saved) {
        m_status.detailText = QStringLiteral("无法保存文件:") + task.localPath;
        logError(QStringLiteral("无法保存文件:") + task.localPath);
        onUpdateCompleted(false);
        return;
    }
    m_file->close();
    m_file.reset();

    if (!verifyFileMd5(task.localPath, task.md5)) {
        logError(QStringLiteral("文件MD5验证失败:") + task.localPath + QStringLiteral(" (") + task.url
                 + QStringLiteral(", 应为 ") + task.md5 + QLatin1Char(')'));
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
    if (!m_reply || sender() != m_reply)
        return;
    QNetworkReply *reply = takeReply();
    QString reason = replyFailure(reply);
    // Nobody but the user cancels these requests, and a user's cancel takes the reply first: an
    // abort reported here is the transfer time-out (Qt reports it as a cancel).
    if (error == QNetworkReply::OperationCanceledError || error == QNetworkReply::TimeoutError) {
        reason = QStringLiteral("超时: %1 秒内未收到数据").arg(m_limits.transferTimeoutMs / MsPerSecond);
        m_status.detailText = QStringLiteral("下载错误:") + reason;
    } else {
        m_status.detailText = QStringLiteral("下载错误:") + reply->errorString();
    }
    if (m_index < m_queue.size())
        logRequestFailure(m_queue.at(m_index).url, reason);
    onUpdateCompleted(false);
}

void Widget::onUpdateCompleted(bool success)
{
    // Every result leaves through here, once per queue.
    if (!m_resultOwed)
        return;
    m_resultOwed = false;
    m_status.isUpdating = false;
    m_status.cancelRequested = false;
    if (success) {
        // Nothing is installed yet: "更新完成!" waits until the files have been replaced.
        ui->label_update->setText(QStringLiteral("下载完成，正在安装更新"));
        ui->progressBar_updatefile->setValue(PercentMax);
    } else {
        discardPartialFile();
        cleanupTempFiles();
        m_status.stageText = QStringLiteral("更新失败");
        if (m_status.detailText.isEmpty())
            m_status.detailText = QStringLiteral("未知错误");
        refreshStatusLabels();
        logError(QStringLiteral("更新失败: ") + m_status.detailText);
        m_ended = true;
    }
    ui->pushButton_cancel->setEnabled(false);
    emit sigUpdateResult(success);
    // After a failure the button closes the dialog (the window has no frame to close it by).
    if (m_ended)
        ui->pushButton_cancel->setEnabled(true);
}

void Widget::onCancelUpdate()
{
    if (m_ended && !m_status.isUpdating) {
        close();
        return;
    }
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
    cancelUpdate();
}

void Widget::cancelUpdate()
{
    const bool wasUpdating = m_status.isUpdating;
    logWarn("用户取消了更新");
    m_cancelled = true;
    m_status.cancelRequested = true;
    m_status.isUpdating = false;
    m_status.stageText = QStringLiteral("正在取消更新");
    ui->pushButton_cancel->setEnabled(false);

    if (QNetworkReply *reply = takeReply()) {
        reply->abort();
        m_status.detailText = QStringLiteral("下载错误:") + reply->errorString();
    }
    m_queue.clear();
    cleanupTempFiles();
    if (wasUpdating)
        onUpdateCompleted(false);
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

void Widget::showInstalled()
{
    ui->label_update->setText(QStringLiteral("更新完成!"));
    ui->progressBar_updatefile->setValue(PercentMax);
}

void Widget::showFailed(const QString &detail)
{
    m_status.stageText = QStringLiteral("更新失败");
    m_status.detailText = detail;
    refreshStatusLabels();
    m_ended = true;
    ui->pushButton_cancel->setEnabled(true);
}

void Widget::closeEvent(QCloseEvent *event)
{
    // QDialog turns a close into reject(), which asks first while a download runs.
    QDialog::closeEvent(event);
}

void Widget::reject()
{
    // Esc or a close while files are downloading: the user is asked, as for the cancel button.
    // Going on hidden would leave a running updater that nobody can see or stop.
    if (m_status.isUpdating && !m_status.cancelRequested) {
        onCancelUpdate();
        return;
    }
    QDialog::reject();
}
