#pragma once

// Marks a file or directory immutable (chattr +i) for the lifetime of the guard. Root ignores
// permission bits, but not this flag: the file can be neither removed nor replaced, and nothing
// can be created in such a directory. isActive() is false where chattr or the file system's
// support is missing; callers QSKIP then.
//
// On Windows a file is held open instead, as a running program holds its executable and DLLs:
// others may read it but neither delete, rename nor write it. Directories have no such guard there.

#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

#ifdef Q_OS_WIN
#include <QDir>
#include <windows.h>
#endif

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
#ifdef Q_OS_WIN
    bool chattr(const QString &flag)
    {
        if (flag == QLatin1String("-i")) {
            CloseHandle(m_handle);
            m_handle = INVALID_HANDLE_VALUE;
            return true;
        }
        if (!QFileInfo(m_path).isFile())
            return false;
        m_handle = CreateFileW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(m_path).utf16()), GENERIC_READ,
                               FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return m_handle != INVALID_HANDLE_VALUE;
    }

    HANDLE m_handle = INVALID_HANDLE_VALUE;
#else
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
#endif

    QString m_path;
    bool m_active = false;
};
