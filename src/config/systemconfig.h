#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The settings of this installation, read once from system.cfg beside the executable.
// Every part of the updater reads its configuration here; nothing writes system.cfg.
class CSystemConfig
{
public:
    // The process-wide object; system.cfg is loaded on the first call.
    static CSystemConfig &instance();

    // The application directory (without a trailing "/"): where system.cfg lies and where the
    // working paths are built. QCoreApplication::applicationDirPath() unless setAppDirPath() chose
    // another one, which lets tests run a whole update inside a temporary installation.
    static QString appDirPath();
    static void setAppDirPath(const QString &dir);

    // Reads the configuration again, from filePath or, when empty, from appDirPath()/system.cfg.
    static void reload(const QString &filePath = QString());

    [[nodiscard]] bool isLoaded() const { return m_loaded; }
    // Why system.cfg cannot be used as it stands (missing, unreadable, malformed, or holding a
    // value the reader would decode as a serialised object); empty when it can.
    [[nodiscard]] QString loadError() const { return m_loadError; }
    // Values that are read, but probably not as the user meant them (a misspelt boolean, a port
    // that is not a number); one line each, for the log.
    [[nodiscard]] QStringList warnings() const;
    // Records the installed version as [General] Version in system.cfg. Only that value changes:
    // every other byte of the file stays as it was, and the file is replaced atomically. The
    // version must be a plain version text (letters, digits, ".", "-", "_", "+"); false with a
    // reason otherwise, or when the file cannot be written.
    [[nodiscard]] static bool writeInstalledVersion(const QString &filePath, const QString &version,
                                                    QString *error = nullptr);
    [[nodiscard]] QString filePath() const { return m_filePath; }
    [[nodiscard]] QString value(const QString &section, const QString &key) const;

    [[nodiscard]] QString url() const;
    [[nodiscard]] QString exeName() const;
    [[nodiscard]] QString hostExe() const;
    [[nodiscard]] QString updateExe() const;
    [[nodiscard]] QString updateHelperExe() const;
    [[nodiscard]] bool isHttpEnabled() const;
    // [Update] PublicKey: the minisign public key (the base64 line) that releases are signed with,
    // or two separated by a comma while keys are rotated; empty when releases are not checked.
    // Parse it with Minisign::parsePublicKeys().
    [[nodiscard]] QString publicKey() const;
    // [Update] CaFile: PEM certificates, relative to the application directory, that replace the
    // system's trust store for HTTPS (a private CA); empty for the system's store.
    [[nodiscard]] QString caFile() const;
    [[nodiscard]] QString updateServer() const;
    [[nodiscard]] QString updatePort() const;
    // [Server] UpdatePort as a TCP port: 0 when absent, not a decimal number or above 65535.
    [[nodiscard]] quint16 updatePortNumber() const;
    [[nodiscard]] QString version() const;
    [[nodiscard]] QString lastCheckTime() const;
    [[nodiscard]] QString backupPath() const;
    [[nodiscard]] QString tempPath() const;
    [[nodiscard]] QString tempPathWithSlash() const;
    [[nodiscard]] QString logPath() const;
    [[nodiscard]] QString projectName() const;
    [[nodiscard]] int projectType() const;

private:
    CSystemConfig() = default;
    void load(const QString &filePath);

    QString m_filePath;
    QMap<QString, QMap<QString, QString>> m_sections;
    bool m_loaded = false;
    QString m_loadError;
};
