#include "updatemodel.h"

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

    if (isTcpServerReachable()) {
        m_transport = TransportKind::Tcp;
        m_tcp = std::make_unique<CTCPUpdate>();
        connect(m_tcp.get(), &CTCPUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
        return m_tcp->start() ? UpdateAvailable : NoUpdate;
    }

    if (CSystemConfig::instance().isHttpEnabled()) {
        m_http = std::make_unique<CHttpUpdate>(this);
        m_transport = TransportKind::Http;
        m_http->setWidget(m_httpDialog);
        connect(m_http.get(), &CHttpUpdate::sigUpdateResult, this, &CUpdateModel::sigUpdateResult);
        return m_http->start() ? UpdateAvailable : NoUpdate;
    }

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
