#include "chttpupdate.h"

#include "widget.h"

CHttpUpdate::CHttpUpdate(QObject *parent)
    : QObject(parent)
{
}

void CHttpUpdate::setWidget(Widget *widget)
{
    m_widget = widget;
    if (m_widget)
        connect(m_widget, &Widget::sigUpdateResult, this, &CHttpUpdate::sigUpdateResult);
}

bool CHttpUpdate::start()
{
    m_checkFailed = false;
    m_errorText.clear();
    if (!m_widget)
        return false;
    const int version = m_widget->checkVersion();
    if (version == static_cast<int>(VersionCheckResult::UpToDate))
        return false;
    if (version == static_cast<int>(VersionCheckResult::UpdateNeeded)) {
        const int md5 = m_widget->checkMd5();
        if (md5 == static_cast<int>(Md5CheckResult::ChangesFound))
            return true;
        if (md5 == static_cast<int>(Md5CheckResult::NoChanges))
            return false;
    }
    m_checkFailed = true;
    m_errorText = m_widget->checkError();
    return false;
}

bool CHttpUpdate::startDownload()
{
    if (m_widget)
        m_widget->startUpdate();
    return true;
}

void CHttpUpdate::cancel()
{
    if (m_widget)
        m_widget->cancelUpdate();
}

bool CHttpUpdate::wasCancelled() const
{
    return m_widget && m_widget->wasCancelled();
}

QString CHttpUpdate::failureText() const
{
    return m_widget ? m_widget->failureText() : QString();
}
