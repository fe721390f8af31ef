#pragma once

// Marks a file or directory immutable (chattr +i) for the lifetime of the guard. Root ignores
// permission bits, but not this flag: the file can be neither removed nor replaced, and nothing
// can be created in such a directory. isActive() is false where chattr or the file system's
// support is missing; callers QSKIP then.
//
// On Windows a file is held open instead, as a running program holds its executable and DLLs:
// others may read it but neither delete, rename nor write it. Directories have no such guard there.
// Method::Flag asks for the flag there too: a Windows test under Wine sets it with the Linux
// chattr through hostrun.py, which Windows programs then see as a file they may not change.

#include "common/hostprocess.h"

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
    enum class Method {
        Native, // the flag; on Windows a file held open
        Flag,   // the flag everywhere (on Windows only under Wine)
    };

    explicit ImmutableGuard(const QString &path, Method method = Method::Native)
        : m_path(path)
        , m_method(method)
    {
        m_active = change(true);
    }
    ~ImmutableGuard() { release(); }
    ImmutableGuard(const ImmutableGuard &) = delete;
    ImmutableGuard &operator=(const ImmutableGuard &) = delete;

    [[nodiscard]] bool isActive() const { return m_active; }

    void release()
    {
        if (m_active)
            change(false);
        m_active = false;
    }

private:
    bool change(bool immutable)
    {
#ifdef Q_OS_WIN
        if (m_method == Method::Native)
            return holdOpen(immutable);
#endif
        return chattr(immutable ? QStringLiteral("+i") : QStringLiteral("-i"));
    }

#ifdef Q_OS_WIN
    bool holdOpen(bool hold)
    {
        if (!hold) {
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
#endif

    bool chattr(const QString &flag) const
    {
        if (HostProcess::viaHostRun()) {
            HostProcess process;
            process.start(QStringLiteral("chattr"), {flag, HostProcess::hostPath(m_path)}, true);
            return process.waitForStarted(ChattrTimeoutMs) && process.waitForFinished(ChattrTimeoutMs)
                && process.exitCode() == 0;
        }
#ifdef Q_OS_WIN
        return false; // no such flag on Windows itself
#else
        const QString program = QStandardPaths::findExecutable(QStringLiteral("chattr"));
        if (program.isEmpty())
            return false;
        QProcess process;
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, {flag, m_path});
        return process.waitForFinished() && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
#endif
    }

    static constexpr int ChattrTimeoutMs = 30000;

    QString m_path;
    Method m_method;
    bool m_active = false;
};
