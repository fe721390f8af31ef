#pragma once

// Pieces shared by the HTTP test suites: a published release served on loopback for a temporary
// installation, and answering the dialog's confirmation box.

#include "common/httpserverprocess.h"
#include "common/installation.h"
#include "common/logcapture.h"
#include "common/publishedrelease.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>

// An installation in a temporary directory and a server publishing version 2.0 for it.
struct ServedRelease
{
    TestInstallation inst{TestInstallation::Bare};
    std::unique_ptr<HttpServerProcess> server;

    // Publishes files as version 2.0 (folder 2.0) into www/, starts the server and configures
    // the installation's [Update] URL to it.
    bool start(const PublishedRelease::FileTree &files, const HttpServerProcess::Options &options = {})
    {
        if (!inst.isValid()
            || !PublishedRelease::publishTree(inst.releaseDir(), inst.wwwDir(), files, QStringLiteral("2.0")))
            return false;
        server = std::make_unique<HttpServerProcess>(inst.wwwDir(), options);
        return server->isReady() && inst.configure(TestConfig::http(server->baseUrl()));
    }
    QString www(const QString &relative) const { return inst.wwwDir() + QLatin1Char('/') + relative; }
};

// Clicks the button with the given text of the first message box that opens; counts the boxes
// it has answered. Polls from a timer because the box runs its own modal event loop.
class BoxAnswerer : public QObject
{
public:
    explicit BoxAnswerer(const QString &buttonText)
        : m_buttonText(buttonText)
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const auto widgets = QApplication::topLevelWidgets();
            for (QWidget *widget : widgets) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (!box || !box->isVisible())
                    continue;
                m_title = box->windowTitle();
                m_text = box->text();
                const auto buttons = box->buttons();
                for (QAbstractButton *button : buttons) {
                    if (button->text() == m_buttonText) {
                        ++m_answered;
                        button->click();
                        return;
                    }
                }
            }
        });
        m_timer.start(PollMs);
    }
    int answered() const { return m_answered; }
    QString title() const { return m_title; }
    QString text() const { return m_text; }

private:
    static constexpr int PollMs = 20;
    QTimer m_timer;
    QString m_buttonText;
    QString m_title;
    QString m_text;
    int m_answered = 0;
};
