#pragma once

#include <QObject>
#include <QString>

class Widget;

// Drives an update over HTTP through the HTTP update dialog, which does the actual work, and
// forwards the dialog's single result so that the update model treats HTTP like TCP.
class CHttpUpdate : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CHttpUpdate)

public:
    explicit CHttpUpdate(QObject *parent = nullptr);

    // The dialog is not owned. A null pointer is stored and nothing is connected.
    void setWidget(Widget *widget);
    // Runs the version check and, when the version differs, the MD5 comparison; true only when
    // files must be downloaded. Both checks wait for their downloads. False also when a check
    // could not be made: checkFailed() and errorText() tell that apart from "up to date".
    [[nodiscard]] bool start();
    [[nodiscard]] bool checkFailed() const { return m_checkFailed; }
    [[nodiscard]] QString errorText() const { return m_errorText; }
    // Starts the dialog's download queue; the result arrives later through sigUpdateResult.
    bool startDownload();
    // Stops the download without asking; its result arrives as false.
    void cancel();
    [[nodiscard]] bool wasCancelled() const;
    [[nodiscard]] QString failureText() const;

signals:
    void sigUpdateResult(bool bSuccess);

private:
    Widget *m_widget = nullptr;
    bool m_checkFailed = false;
    QString m_errorText;
};
