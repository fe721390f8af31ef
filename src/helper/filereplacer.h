#pragma once

#include <QString>

#include <functional>

// Replaces one installed file by a new one so that the installed name always holds either the
// whole old or the whole new file. The new content is written beside the installed file, flushed
// to disk and renamed over it (rename(2), or MoveFileEx with MOVEFILE_REPLACE_EXISTING |
// MOVEFILE_WRITE_THROUGH on Windows, retried while a virus scanner holds the file). The installed
// file's mode (and owner, where the process may set it) is kept, so update.exe stays executable.
// The result is then compared byte for byte with the new file; when it differs, a copy of the old
// file, made before the rename, is renamed back.
//
// Only the installed file and two temporary files beside it ("<name>.XXXXXX.new" and
// "<name>.XXXXXX.old", removed again) are ever written.
class CFileReplacer
{
public:
    enum class Outcome {
        Replaced,      // the installed file now holds exactly the new file's bytes
        NotReplaced,   // the installed file holds exactly its old bytes
        RestoreFailed, // the new bytes were renamed into place, differ, and the old could not return
    };

    CFileReplacer(const QString &newFile, const QString &installedFile);

    [[nodiscard]] Outcome replace();
    // Why the last replace() did not return Replaced.
    [[nodiscard]] QString errorString() const { return m_error; }

    // For tests: runs after the rename over the installed file, before the result is checked.
    void setAfterRenameHook(std::function<void()> hook) { m_afterRename = std::move(hook); }

    // True when both files can be read and hold the same bytes; otherwise error says why.
    [[nodiscard]] static bool sameContent(const QString &first, const QString &second, QString *error = nullptr);

private:
    // Copies from into a new file beside the installed one, with the installed file's mode,
    // flushed to disk. Returns the new file's path, or an empty string (m_error set).
    [[nodiscard]] QString copyBeside(const QString &from, const char *suffix);
    // Renames from over to, replacing it atomically. False with m_error set.
    [[nodiscard]] bool renameOver(const QString &from, const QString &to);
    void removeTemporary(const QString &path);

    QString m_newFile;
    QString m_installedFile;
    QString m_error;
    std::function<void()> m_afterRename;
};
