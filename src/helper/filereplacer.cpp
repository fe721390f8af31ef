#include "helper/filereplacer.h"

#include "app/logging.h"
#include "helper/helperconstants.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QThread>

#ifdef Q_OS_WIN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <string>
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Closes file after its bytes have reached the disk, so that a power loss after the rename cannot
// leave a renamed but empty update.exe. On Windows QFile keeps no descriptor that
// FlushFileBuffers could use, so the file is flushed through a handle of its own.
bool closeDurably(QFile &file)
{
    bool written = file.flush();
#ifdef Q_OS_WIN
    file.close();
    const HANDLE handle = CreateFileW(QDir::toNativeSeparators(file.fileName()).toStdWString().c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    written = FlushFileBuffers(handle) != 0 && written;
    CloseHandle(handle);
#else
    written = ::fsync(file.handle()) == 0 && written;
    file.close();
#endif
    return written;
}

// Gives file the mode and, where permitted, the owner of the file at model.
bool copyMode(QFile &file, const QString &model)
{
#ifdef Q_OS_WIN
    Q_UNUSED(file)
    Q_UNUSED(model)
    return true;
#else
    struct stat info {};
    if (::stat(QFile::encodeName(model).constData(), &info) != 0)
        return false;
    // Only root may give a file away; a failure leaves it owned by us, which is what an ordinary
    // user's installation has anyway. Owner first: chown clears set-id bits.
    if (::fchown(file.handle(), info.st_uid, info.st_gid) != 0 && errno != EPERM)
        return false;
    return ::fchmod(file.handle(), info.st_mode & 07777) == 0;
#endif
}

#ifndef Q_OS_WIN
// Makes a rename in dir durable. Not every file system can sync a directory; that is no reason
// to call the replace failed.
void syncDirectory(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY);
    if (fd >= 0) {
        (void)::fsync(fd);
        ::close(fd);
    }
}
#endif

} // namespace

CFileReplacer::CFileReplacer(const QString &newFile, const QString &installedFile)
    : m_newFile(newFile)
    , m_installedFile(installedFile)
{
}

CFileReplacer::Outcome CFileReplacer::replace()
{
    m_error.clear();
    const QFileInfo installed(m_installedFile);
    if (installed.isSymLink() || !installed.isFile()) {
        m_error = QStringLiteral("安装的文件不存在或不是普通文件: ") + m_installedFile;
        return Outcome::NotReplaced;
    }

    const QString staging = copyBeside(m_newFile, Helper::StagingSuffix);
    if (staging.isEmpty())
        return Outcome::NotReplaced;
    const QString kept = copyBeside(m_installedFile, Helper::KeptSuffix);
    if (kept.isEmpty() || !sameContent(m_installedFile, kept, &m_error)) {
        removeTemporary(staging);
        if (!kept.isEmpty())
            removeTemporary(kept);
        return Outcome::NotReplaced;
    }
    if (!renameOver(staging, m_installedFile)) {
        removeTemporary(staging);
        removeTemporary(kept);
        return Outcome::NotReplaced;
    }

    if (m_afterRename)
        m_afterRename();

    QString difference;
    if (sameContent(m_newFile, m_installedFile, &difference)) {
        removeTemporary(kept);
        return Outcome::Replaced;
    }
    if (!renameOver(kept, m_installedFile)) {
        m_error = QStringLiteral("替换后的文件与新文件不一致 (%1)，且无法恢复原文件，原文件保存在 %2: %3")
                      .arg(difference, kept, m_error);
        return Outcome::RestoreFailed;
    }
    m_error = QStringLiteral("替换后的文件与新文件不一致，已恢复原文件: ") + difference;
    return Outcome::NotReplaced;
}

QString CFileReplacer::copyBeside(const QString &from, const char *suffix)
{
    QFile source(from);
    if (QFileInfo(from).isDir()) {
        m_error = QStringLiteral("无法读取文件 %1: 这是一个目录").arg(from);
        return QString();
    }
    if (!source.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("无法读取文件 %1: %2").arg(from, source.errorString());
        return QString();
    }

    QTemporaryFile target(m_installedFile + QLatin1String(Helper::UniqueInfix) + QLatin1String(suffix));
    target.setAutoRemove(false);
    if (!target.open()) {
        m_error = QStringLiteral("无法在 %1 旁创建临时文件: %2").arg(m_installedFile, target.errorString());
        return QString();
    }
    const QString path = target.fileName();
    const auto fail = [&](const QString &why) {
        m_error = why;
        target.close();
        removeTemporary(path);
        return QString();
    };

    if (!copyMode(target, m_installedFile))
        return fail(QStringLiteral("无法设置 %1 的权限: %2").arg(path, qt_error_string()));
    QByteArray chunk;
    while (!(chunk = source.read(Helper::CopyChunkSize)).isEmpty()) {
        if (target.write(chunk) != chunk.size())
            return fail(QStringLiteral("无法写入 %1: %2").arg(path, target.errorString()));
    }
    if (source.error() != QFileDevice::NoError)
        return fail(QStringLiteral("无法读取文件 %1: %2").arg(from, source.errorString()));
    if (!closeDurably(target))
        return fail(QStringLiteral("无法写入 %1: %2").arg(path, qt_error_string()));
    return path;
}

bool CFileReplacer::renameOver(const QString &from, const QString &to)
{
#ifdef Q_OS_WIN
    const std::wstring source = QDir::toNativeSeparators(from).toStdWString();
    const std::wstring target = QDir::toNativeSeparators(to).toStdWString();
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return true;
        const DWORD error = GetLastError();
        if (attempt >= Helper::RenameAttempts) {
            m_error = QStringLiteral("无法将 %1 重命名为 %2: %3").arg(from, to, qt_error_string(int(error)));
            return false;
        }
        logWarn(QStringLiteral("重命名失败，稍后重试 (%1/%2): %3").arg(attempt).arg(Helper::RenameAttempts).arg(to));
        QThread::msleep(Helper::RenameRetryPauseMs);
    }
#else
    // rename(2) failures are not passing: nothing on POSIX holds a file the way a scanner does.
    if (::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) != 0) {
        m_error = QStringLiteral("无法将 %1 重命名为 %2: %3").arg(from, to, qt_error_string(errno));
        return false;
    }
    syncDirectory(QFileInfo(to).absolutePath());
    return true;
#endif
}

void CFileReplacer::removeTemporary(const QString &path)
{
    if (!QFile::remove(path) && QFileInfo::exists(path))
        logWarn(QStringLiteral("无法删除临时文件:") + path);
}

bool CFileReplacer::sameContent(const QString &first, const QString &second, QString *error)
{
    QFile a(first);
    QFile b(second);
    const auto fail = [error](const QString &why) {
        if (error)
            *error = why;
        return false;
    };
    if (!a.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("无法读取文件 %1: %2").arg(first, a.errorString()));
    if (!b.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("无法读取文件 %1: %2").arg(second, b.errorString()));
    if (a.size() != b.size())
        return fail(QStringLiteral("%1 有 %2 字节，%3 有 %4 字节").arg(first).arg(a.size()).arg(second).arg(b.size()));
    for (;;) {
        const QByteArray left = a.read(Helper::CopyChunkSize);
        const QByteArray right = b.read(Helper::CopyChunkSize);
        if (a.error() != QFileDevice::NoError || b.error() != QFileDevice::NoError)
            return fail(QStringLiteral("比较 %1 与 %2 时读取失败").arg(first, second));
        if (left != right)
            return fail(QStringLiteral("%1 与 %2 内容不同").arg(first, second));
        if (left.isEmpty())
            return true;
    }
}
