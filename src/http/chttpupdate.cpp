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
    if (!m_widget)
        return false;
    if (m_widget->checkVersion() != static_cast<int>(VersionCheckResult::UpdateNeeded))
        return false;
    return m_widget->checkMd5() == static_cast<int>(Md5CheckResult::ChangesFound);
}

bool CHttpUpdate::startDownload()
{
    if (m_widget)
        m_widget->startUpdate();
    return true;
}
