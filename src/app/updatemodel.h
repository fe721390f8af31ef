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

    explicit CUpdateModel(QObject *parent = nullptr);
    ~CUpdateModel() override;

    void setWindows(Widget *httpDialog, UpdateWidget *tcpWindow);

    // 1: an update is available and the driver is ready; 0: none (or the check failed);
    // -1: no transport is usable.
    [[nodiscard]] int start();
    [[nodiscard]] QString errorText() const { return m_errorText; }
    [[nodiscard]] TransportKind transport() const { return m_transport; }
    void showWindow();
    [[nodiscard]] bool startDownload();

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
