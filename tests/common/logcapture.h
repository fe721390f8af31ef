#pragma once

// Sends the updater's log of the test process to a file of its own and hands out what was logged,
// so that tests can assert on exact log lines. Reading restarts the logger, which flushes it.

#include "app/logging.h"

#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QTemporaryDir>

class LogCapture
{
public:
    LogCapture()
        : m_path(m_dir.filePath(QStringLiteral("update.log")))
    {
        initLogging(m_path.toUtf8());
    }
    ~LogCapture() { shutdownLogging(); }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    [[nodiscard]] QString path() const { return m_path; }

    // Everything written since the capture began.
    QString text() { return read(0); }

    // The lines written since the previous look (text() or take()).
    QString take() { return read(m_offset); }

    // True when text holds a line of the level ("info", "error", "warning", "debug") that ends
    // with exactly message.
    static bool hasLine(const QString &text, const char *level, const QString &message)
    {
        const QRegularExpression line(QStringLiteral("\\] \\[%1\\] \\[\\d+\\] %2$")
                                          .arg(QLatin1String(level), QRegularExpression::escape(message)),
                                      QRegularExpression::MultilineOption);
        return line.match(text).hasMatch();
    }

private:
    QString read(qint64 from)
    {
        shutdownLogging(); // flushes the file
        QFile file(m_path);
        QString text;
        if (file.open(QIODevice::ReadOnly)) {
            file.seek(from);
            text = QString::fromUtf8(file.readAll());
            m_offset = file.size();
        }
        text.remove(QLatin1Char('\r')); // lines end in CR LF on Windows
        initLogging(m_path.toUtf8());
        return text;
    }

    QTemporaryDir m_dir;
    QString m_path;
    qint64 m_offset = 0;
};
