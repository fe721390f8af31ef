#pragma once

// Marks a file or directory immutable (chattr +i) for the lifetime of the guard. Root ignores
// permission bits, but not this flag: the file can be neither removed nor replaced, and nothing
// can be created in such a directory. isActive() is false where chattr or the file system's
// support is missing; callers QSKIP then.

#include <QProcess>
#include <QStandardPaths>
#include <QString>

class ImmutableGuard
{
public:
    explicit ImmutableGuard(const QString &path)
        : m_path(path)
    {
        m_active = chattr(QStringLiteral("+i"));
    }
    ~ImmutableGuard() { release(); }
    ImmutableGuard(const ImmutableGuard &) = delete;
    ImmutableGuard &operator=(const ImmutableGuard &) = delete;

    [[nodiscard]] bool isActive() const { return m_active; }

    void release()
    {
        if (m_active)
            chattr(QStringLiteral("-i"));
        m_active = false;
    }

private:
    bool chattr(const QString &flag) const
    {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("chattr"));
        if (program.isEmpty())
            return false;
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, {flag, m_path});
        return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    QString m_path;
    bool m_active = false;
};
