#pragma once

#include <QByteArray>
#include <QString>

#include <map>
#include <memory>

class QFile;

// Writes files that arrive in chunks below the download directory ([Paths] Temp). A file stays
// open from its first chunk to its last one; chunks are appended in arrival order.
class CFileManager
{
public:
    ~CFileManager();
    CFileManager(const CFileManager &) = delete;
    CFileManager &operator=(const CFileManager &) = delete;

    // The process-wide instance, created on first use.
    static CFileManager &instance();

    // Appends data to dirPath/fileName below the download directory; isLast closes the file after
    // the write. The first chunk of a file starts it afresh (an older file of that name is
    // truncated). A name that would leave the download directory is refused and nothing is
    // written. True when the whole chunk was written.
    [[nodiscard]] bool SaveFileData(const QString &dirPath, const QString &fileName, const QByteArray &data,
                                    bool isLast);

    // Closes the file of an unfinished transfer and forgets it, so that the next chunk of that
    // file starts it again from its first byte. Unknown files are ignored.
    void discardFile(const QString &dirPath, const QString &fileName);
    // The same, and the file is removed from the download directory (a refused transfer leaves
    // nothing behind).
    void deleteFile(const QString &dirPath, const QString &fileName);

    // The download directory (WorkDirs::tempDir()) followed by relPath, so the writer and the
    // controller agree wherever we were started.
    [[nodiscard]] QString tempFilePath(const QString &relPath) const;

    // True if dir exists or could be created with all missing parents.
    [[nodiscard]] bool ensureDirectory(const QString &dir) const;

    // True when dirPath/fileName names a file strictly inside the download directory: fileName
    // passes pathProblem(FileName) and dirPath pathProblem(TransferDirectory). On false, reason
    // says why.
    [[nodiscard]] static bool isSafeTarget(const QString &dirPath, const QString &fileName,
                                           QString *reason = nullptr);

    // The table key of a file: directory, "_", name.
    [[nodiscard]] static QString fileKey(const QString &dirPath, const QString &fileName);

    [[nodiscard]] bool isOpen(const QString &key) const { return m_openFiles.count(key) > 0; }
    [[nodiscard]] int openFileCount() const { return static_cast<int>(m_openFiles.size()); }

    // Closes and forgets every open file (their partial content stays on disk).
    void closeAll();

private:
    CFileManager() = default;

    // Files being received, by key; the table owns them.
    std::map<QString, std::unique_ptr<QFile>> m_openFiles;
};
