#include "updatemodel.h"

#include "app/logging.h"
#include "config/systemconfig.h"
#include "http/chttpupdate.h"
#include "http/widget.h"
#include "tcp/ctcpupdate.h"
#include "tcp/qupdatetcpclient.h"
#include "tcp/tcpconstants.h"
#include "tcp/updatewidget.h"

CUpdateModel::CUpdateModel(QObject *parent)
    : QObject(parent)
{
}

CUpdateModel::~CUpdateModel()
{
    m_http.reset();
    m_tcp.reset();
}

void CUpdateModel::setWindows(Widget *httpDialog, UpdateWidget *tcpWindow)
{
    m_httpDialog = httpDialog;
    m_tcpWindow = tcpWindow;
}

int CUpdateModel::start()
{
    m_errorText.clear();
    const CSystemConfig &config = CSystemConfig::instance();

    if (isTcpServerReachable()) {
        m_transport = TransportKind::Tcp;
        m_tcp = std::make_unique<CTCPUpdate>();
        // One window for the whole TCP update: the one the controller shows.
        if (m_tcpWindow)
            m_tcp->setProgressWindow(m_tcpWindow);
        connect(m_tcp.get(), &CTCPUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
        if (m_tcp->start())
            return UpdateAvailable;
        if (m_tcp->checkFailed()) {
            m_errorText = m_tcp->errorText();
            return CheckFailed;
        }
        return NoUpdate;
    }

    if (config.isHttpEnabled()) {
        if (!config.updateServer().isEmpty() && config.updatePortNumber() != 0)
            logInfo(QStringLiteral("TCP升级服务器无法连接，改用HTTP升级: %1:%2")
                        .arg(config.updateServer(), QString::number(config.updatePortNumber())));
        m_http = std::make_unique<CHttpUpdate>(this);
        m_transport = TransportKind::Http;
        m_http->setWidget(m_httpDialog);
        connect(m_http.get(), &CHttpUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
        if (m_http->start())
            return UpdateAvailable;
        if (m_http->checkFailed()) {
            m_errorText = m_http->errorText();
            return CheckFailed;
        }
        return NoUpdate;
    }

    // The text is the same whatever the reason; the log tells which one it was.
    if (config.updateServer().isEmpty() || config.updatePortNumber() == 0)
        logWarn("未配置TCP升级服务器([Server] UpdateServer / UpdatePort)");
    else
        logWarn(QStringLiteral("TCP升级服务器无法连接: %1:%2")
                    .arg(config.updateServer(), QString::number(config.updatePortNumber())));
    logWarn(QStringLiteral("HTTP升级未启用([Update] HttpEnable=%1)")
                .arg(config.value(QStringLiteral("Update"), QStringLiteral("HttpEnable"))));
    m_errorText = QStringLiteral("TCP升级服务连接失败");
    return NoTransport;
}

bool CUpdateModel::isTcpServerReachable()
{
    const CSystemConfig &config = CSystemConfig::instance();
    const QString host = config.updateServer();
    const quint16 port = config.updatePortNumber();
    if (host.isEmpty() || port == 0)
        return false;

    QUpdateTcpClient probe(this);
    return probe.connectToServer(host, port, TcpProtocol::ProbeTimeoutMs);
}

void CUpdateModel::showWindow()
{
    if (m_transport == TransportKind::Tcp) {
        if (m_tcpWindow)
            m_tcpWindow->show();
    } else if (m_httpDialog) {
        m_httpDialog->show();
    }
}

bool CUpdateModel::startDownload()
{
    if (m_transport == TransportKind::Tcp)
        return m_tcp && m_tcp->beginDownload();
    return m_http && m_http->startDownload();
}

void CUpdateModel::cancelDownload()
{
    if (m_transport == TransportKind::Tcp) {
        if (m_tcp)
            m_tcp->cancel();
    } else if (m_http) {
        m_http->cancel();
    }
}

bool CUpdateModel::downloadCancelled() const
{
    if (m_transport == TransportKind::Tcp)
        return m_tcp && m_tcp->wasCancelled();
    return m_http && m_http->wasCancelled();
}

QString CUpdateModel::failureText() const
{
    if (m_transport == TransportKind::Tcp)
        return m_tcp ? m_tcp->failureText() : QString();
    return m_http ? m_http->failureText() : QString();
}

QString CUpdateModel::offeredVersion() const
{
    if (m_transport == TransportKind::Tcp && m_tcp)
        return m_tcp->versionInfo().version;
    return QString();
}

QString CUpdateModel::announcedVersion() const
{
    if (m_transport == TransportKind::Tcp)
        return m_tcp ? m_tcp->versionInfo().version : QString();
    return m_httpDialog ? m_httpDialog->serverVersion() : QString();
}

QString CUpdateModel::announcedFolder() const
{
    return m_transport == TransportKind::Http && m_httpDialog ? m_httpDialog->serverFolder() : QString();
}

QString CUpdateModel::installedVersion() const
{
    if (m_transport == TransportKind::Http && m_httpDialog) {
        const QString recorded = m_httpDialog->installedVersion();
        if (!recorded.isEmpty())
            return recorded;
    }
    return CSystemConfig::instance().version();
}

void CUpdateModel::showInstalled()
{
    if (m_transport == TransportKind::Tcp) {
        if (m_tcp)
            m_tcp->progressWindow().showSuccess();
    } else if (m_httpDialog) {
        m_httpDialog->showInstalled();
    }
}

void CUpdateModel::showFailure(const QString &text)
{
    if (m_transport == TransportKind::Tcp) {
        if (m_tcp)
            m_tcp->progressWindow().showError(text);
    } else if (m_httpDialog) {
        m_httpDialog->showFailed(text);
    }
}
