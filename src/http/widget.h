#pragma once

#include "fileops/md5list.h"

#include <QDeadlineTimer>
#include <QDialog>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslCertificate>
#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>

class QFile;
class QLabel;
class TransferWatchdog;
class QProgressBar;

namespace Ui {
class Widget;
}

// Outcome of Widget::checkVersion(), returned as int.
enum class VersionCheckResult : int {
    UpToDate = 0,
    UpdateNeeded = 1,
    DownloadFailed = 2,
    ParseFailed = 3,
};

// Outcome of Widget::checkMd5(), returned as int.
enum class Md5CheckResult : int {
    NoChanges = 0,
    ChangesFound = 1,
    DownloadFailed = 2,
    ParseFailed = 3, // the list holds no entry: not an MD5 list at all
};

// One file of the download queue.
struct DownloadTask
{
    QString url;       // where the file is requested
    QString localPath; // where it is saved, below the temporary directory
    QString md5;       // the server's lowercase hex MD5 of the file
};

// How much and how slowly servers may send before a request fails; see httpconstants.h.
struct HttpLimits
{
    qint64 versionFileBytes;
    qint64 md5ListBytes;
    qint64 fileBytes;         // a queued file without Content-Length
    qint64 minBytesPerSecond; // averaged over rateWindowMs
    int rateWindowMs;
    int checkDeadlineMs;      // both checks together
    int transferTimeoutMs;    // a request without any data for this long fails

    [[nodiscard]] static HttpLimits defaults();
};

// What the dialog is doing and what it shows.
struct UpdateStatus
{
    bool isUpdating = false;      // the download queue is running
    bool cancelRequested = false; // a confirmed cancel has not been completed yet
    QString stageText;            // shown in label_update
    QString detailText;           // shown in label_updatefile
};

// The HTTP update dialog. Before it is shown, checkVersion() and checkMd5() find out whether the
// server's release differs from the installation and which files changed; startUpdate() then
// downloads those files one at a time into the temporary directory, verifying each MD5, and the
// dialog ends with exactly one sigUpdateResult(). Everything is streamed to disk as it arrives.
class Widget : public QDialog
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Widget)

public:
    explicit Widget(QWidget *parent = nullptr);
    ~Widget() override;

    // Downloads [Update] URL + "update.ini" and compares its version with update/update.ini.
    [[nodiscard]] int checkVersion();
    // Downloads the release's md5.txt and compares it with the installation's list.
    [[nodiscard]] int checkMd5();
    // Why the last check could not be made: what was requested and what went wrong.
    [[nodiscard]] QString checkError() const { return m_checkError; }
    // Enables the cancel button and starts the download queue of the files checkMd5() found.
    void startUpdate();
    // Cancels the running download without asking; the result arrives as false.
    void cancelUpdate();
    // After the queue ended: whether it was cancelled, and the failure text it shows.
    [[nodiscard]] bool wasCancelled() const { return m_cancelled; }
    [[nodiscard]] QString failureText() const { return m_status.detailText; }
    // How installing the downloaded files ended; after a failure the cancel button closes the
    // dialog.
    void showInstalled();
    void showFailed(const QString &detail);

    // Reads update/updateTmp.ini into the server folder and version; false when either is missing.
    [[nodiscard]] bool parseServerVersion();
    // Downloads one URL into one file, waiting in a local event loop. A failed download leaves no
    // file and a reason in the status's detail text. A body of more than maxBytes (0 or less:
    // no limit) fails as soon as it is known to be larger.
    [[nodiscard]] bool downloadFile(const QString &url, const QString &localPath,
                                    QProgressBar *progressBar = nullptr, qint64 maxBytes = 0);

    // Shorter limits for tests.
    void setLimits(const HttpLimits &limits) { m_limits = limits; }
    [[nodiscard]] const HttpLimits &limits() const { return m_limits; }
    void refreshStatusLabels();

    // What the version check read from the server: its version and folder (without the "/").
    [[nodiscard]] QString serverVersion() const { return m_serverVersion; }
    [[nodiscard]] QString serverFolder() const { return m_serverFolder.endsWith(QLatin1Char('/')) ? m_serverFolder.chopped(1) : m_serverFolder; }
    // The installed version as the HTTP transport records it (update/update.ini); empty when none.
    [[nodiscard]] QString installedVersion() const;

    // The files checkMd5() found new or changed: relative path -> the server's MD5.
    [[nodiscard]] const Md5List &downloadMap() const { return m_downloadMap; }
    [[nodiscard]] const UpdateStatus &status() const { return m_status; }

signals:
    void sigUpdateResult(bool bSuccess);

protected slots:
    void onDownloadProgress(qlonglong bytesReceived, qlonglong bytesTotal);
    void onDownloadFinished();
    void onDownloadError(QNetworkReply::NetworkError error);
    void onUpdateCompleted(bool success);
    void onCancelUpdate();

protected:
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

public slots:
    void reject() override;

public:
    void startDownloadQueue(const Md5List &files);
    void downloadNextFile();
    [[nodiscard]] bool verifyFileMd5(const QString &localPath, const QString &md5) const;
    void cleanupTempFiles();

private:
    void initUi();
    // Moves what the active reply holds into the open file; false when the disk refuses it.
    [[nodiscard]] bool writeReceivedData();
    // Ends the active download: detail for the window, logged with its URL.
    void failActiveDownload(const QString &detail, const QString &reason);
    void dropWatchdog();
    // The one release point of the active reply: takes it out of m_reply, cuts its signals off
    // and schedules its deletion; null when there is none.
    QNetworkReply *takeReply();
    // Checks the active reply against the size limit of its file; false once it failed.
    [[nodiscard]] bool withinSizeLimit();
    // Closes the file of the download in progress and removes it: an unfinished file is never left.
    void discardPartialFile();
    [[nodiscard]] QString updateDir() const;
    // The check could not be made: error is the reason callers report, also logged.
    void failCheck(const QString &error);
    // A GET for url with the transfer time-out and, with [Update] CaFile, the trust in its CAs.
    [[nodiscard]] QNetworkRequest request(const QString &url) const;
    // Loads [Update] CaFile once; false (m_checkError says why) when it is set but unusable.
    [[nodiscard]] bool loadTrust();
    // Shows text in label, elided in the middle when it is wider than the label (the whole text
    // is then the tooltip; the log always has it).
    void setElidedText(QLabel *label, const QString &text);

    Ui::Widget *ui = nullptr;
    QString m_appDir;
    QString m_serverFolder;
    QString m_serverVersion;
    QStringList m_tempFiles;
    QNetworkAccessManager m_manager;
    QNetworkReply *m_reply = nullptr;
    QVector<DownloadTask> m_queue;
    int m_index = 0;
    int m_total = 0;
    UpdateStatus m_status;
    Md5List m_downloadMap;
    // The file the active reply is streamed into; set only while a queue download is running.
    std::unique_ptr<QFile> m_file;
    QString m_checkError;
    QList<QSslCertificate> m_trustedCas; // from [Update] CaFile; empty: the system's trust store
    HttpLimits m_limits = HttpLimits::defaults();
    QDeadlineTimer m_checkDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    std::unique_ptr<TransferWatchdog> m_watchdog; // the rate of the active queue download
    QString m_lastRequestError; // why the last synchronous download failed
    bool m_cancelled = false;   // the last queue ended through a cancel
    bool m_resultOwed = false;  // a queue was started and has not reported its result yet
    bool m_ended = false;       // the last queue ended in a failure; the cancel button closes
};
