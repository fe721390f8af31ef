#pragma once

#include <QObject>
#include <QString>

#include <memory>

class CHttpUpdate;
class CTCPUpdate;
class UpdateWidget;
class Widget;

// Chooses the transport of one update run: our TCP server when it accepts a connection within
// 500 ms, plain HTTP otherwise (when system.cfg allows it). It creates the chosen driver, lets it
// check for a newer version, shows its window, starts its download and passes its result on.
class CUpdateModel : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CUpdateModel)

public:
    enum class TransportKind { Tcp = 0, Http = 1 };

    // Results of start().
    static constexpr int UpdateAvailable = 1;
    static constexpr int NoUpdate = 0;
    static constexpr int NoTransport = -1;
    static constexpr int CheckFailed = -2; // a transport was chosen, but its check could not be made

    explicit CUpdateModel(QObject *parent = nullptr);
    ~CUpdateModel() override;

    void setWindows(Widget *httpDialog, UpdateWidget *tcpWindow);

    // 1: an update is available and the driver is ready; 0: none; -1: no transport is usable;
    // -2: the chosen transport could not make its check (errorText() says why).
    [[nodiscard]] int start();
    [[nodiscard]] QString errorText() const { return m_errorText; }
    [[nodiscard]] TransportKind transport() const { return m_transport; }
    void showWindow();
    [[nodiscard]] bool startDownload();
    // Stops the running download; its result then arrives as a cancelled failure.
    void cancelDownload();
    // After a failed download result: whether it was cancelled, and why it failed.
    [[nodiscard]] bool downloadCancelled() const;
    [[nodiscard]] QString failureText() const;
    // The version a TCP server offered; empty for HTTP, which keeps its own version record.
    [[nodiscard]] QString offeredVersion() const;
    // What the chosen transport's check announced (version, and the HTTP folder) and the version
    // it takes as installed: what a signed release must match.
    [[nodiscard]] QString announcedVersion() const;
    [[nodiscard]] QString announcedFolder() const;
    [[nodiscard]] QString installedVersion() const;
    // The chosen transport's window tells how the installation ended.
    void showInstalled();
    void showFailure(const QString &text);

signals:
    void sigUpdateResult(bool bSuccess);

private:
    [[nodiscard]] bool isTcpServerReachable();

    TransportKind m_transport = TransportKind::Tcp;
    QString m_errorText;
    std::unique_ptr<CTCPUpdate> m_tcp;
    std::unique_ptr<CHttpUpdate> m_http;
    Widget *m_httpDialog = nullptr;       // the controller's, not owned
    UpdateWidget *m_tcpWindow = nullptr;  // the controller's, not owned
};
