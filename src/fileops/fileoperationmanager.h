#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

// Restores a backup into the installation. The controller owns one and keeps its last error
// text for its own report.
class CFileOperationManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CFileOperationManager)

public:
    explicit CFileOperationManager(QObject *parent = nullptr);
    ~CFileOperationManager() override;

    [[nodiscard]] bool init();

    // Restores the entries relPaths (relative to backupPath) into targetPath; an empty list means
    // every top-level entry of backupPath. Stops at the first failure; lastError() says why.
    // A file that already holds the backup's bytes is left alone (the replace never reached it).
    [[nodiscard]] bool rollback(const QString &backupPath, const QString &targetPath, QStringList relPaths);
    // Copies the tree src over dst, replacing files of the same names. Logs nothing.
    [[nodiscard]] bool rollbackDirectory(const QString &src, const QString &dst);

    [[nodiscard]] QString lastError() const { return m_lastError; }

    // base + rel with exactly the "/" between them that base lacks.
    [[nodiscard]] static QString joinPath(const QString &base, const QString &rel);
    // True when dir exists or could be created with all missing parents.
    [[nodiscard]] static bool ensureDirectory(const QString &dir);

private:
    bool fail(const QString &text);

    QString m_lastError;
};
