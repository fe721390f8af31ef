#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// The manifest of a signed release: which files the release holds, with the SHA-256 and size of
// each, and which version and server folder it is. The publisher signs it with minisign; an
// updater with a public key checks the signature, then every downloaded file against it.
//
// Text format (UTF-8 without byte order mark, every line ends with LF, no CR, no empty line):
//
//   update-release-manifest 1
//   version 1.1.0
//   folder 1.1.0
//   file 9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 4 /bin/a.dll
//   file e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855 0 /数据/read me.txt
//
// - the first line names the format and its revision;
// - "version " + the release's version text, "folder " + the server folder it is published in
//   ([Version] Folder of update.ini); neither may be empty, begin or end with a blank, or hold a
//   control character; the folder must be a relative path without "." or ".." components;
// - one "file " line per file: 64 lower-case hex digits of SHA-256, one blank, the size in bytes
//   (decimal, no sign, no leading zero), one blank, and the path, which runs to the end of the line
//   and may hold blanks. Paths have the MD5 list's form ("/" first, "/" between components, see
//   PathKind::ListPath) and appear once each; the writer puts them in path order, the reader takes any
//   order. The manifest never lists itself or its signature.
//
// The reader is strict: one line that does not follow these rules refuses the whole manifest.
struct ReleaseManifestEntry
{
    QString sha256; // 64 lower-case hex digits
    qint64 size = 0;

    bool operator==(const ReleaseManifestEntry &other) const
    {
        return sha256 == other.sha256 && size == other.size;
    }
};

// Why a download does not match its manifest; errorText() gives the sentence.
enum class ManifestCheckFailure {
    None,
    NotInManifest,   // a downloaded file the manifest does not name
    Mismatch,        // a downloaded file whose size or SHA-256 differs from the manifest's
    Missing,         // a manifest file neither downloaded nor installed with exactly that content
    NotRegularFile,  // a link, device or pipe in the download
    Unreadable,      // a downloaded file that cannot be read
};

struct ManifestCheckResult
{
    ManifestCheckFailure failure = ManifestCheckFailure::None;
    QString path;    // the file concerned, in manifest form ("/bin/a.dll")
    QString detail;  // why, for the log ("size 12, the manifest says 13")
    int checkedFiles = 0; // downloaded files that matched, when ok

    [[nodiscard]] bool ok() const { return failure == ManifestCheckFailure::None; }
    // "file not in manifest: /x", "file does not match manifest: /x", "file missing: /x",
    // "not a regular file: /x", "cannot read file: /x"; empty when ok.
    [[nodiscard]] QString errorText() const;
};

class ReleaseManifest
{
public:
    static constexpr char FormatLine[] = "update-release-manifest 1";

    ReleaseManifest() = default;
    ReleaseManifest(const QString &version, const QString &folder);

    [[nodiscard]] QString version() const { return m_version; }
    [[nodiscard]] QString folder() const { return m_folder; }
    [[nodiscard]] const QMap<QString, ReleaseManifestEntry> &files() const { return m_files; }

    // Adds (or replaces) a file. False, with the reason, for an unsafe path, the manifest's own
    // names at the top, a malformed digest or a negative size.
    [[nodiscard]] bool addFile(const QString &path, const QString &sha256, qint64 size, QString *error = nullptr);

    // The text of the manifest; empty when the version or the folder is not valid.
    [[nodiscard]] QByteArray toText() const;

    // Parses a manifest text. On false, error says which line and why, and manifest is unchanged.
    [[nodiscard]] static bool parse(const QByteArray &text, ReleaseManifest *manifest, QString *error);

    // The manifest of every file below dir (hidden ones too), hashed now. Top-level names in
    // excludedTopLevelNames are left out, and so are the manifest's own two names. False when a
    // file cannot be read or is not a regular file (a link, a device), or a name cannot be listed.
    [[nodiscard]] static bool fromDirectory(const QString &dir, const QString &version, const QString &folder,
                                            const QStringList &excludedTopLevelNames, ReleaseManifest *manifest,
                                            QString *error);

    // Checks a download against the manifest. downloadDir holds the files where they will go in
    // the installation (download/bin/a.dll -> install/bin/a.dll):
    // - every file of it must be named by the manifest with that size and SHA-256, except the
    //   manifest and its signature at the top and the top-level names in ignoredTopLevelNames;
    //   links, devices and pipes are refused;
    // - a manifest file absent from the download must already be installed with exactly that
    //   content below installDir (a top-level update.ini is looked for as update/update.ini, where
    //   it is installed); an empty installDir allows no absent file.
    // The first failure is returned: unknown or irregular files first, then downloaded files that
    // differ, then missing ones, each in path order.
    [[nodiscard]] ManifestCheckResult checkDownload(const QString &downloadDir, const QString &installDir,
                                                    const QStringList &ignoredTopLevelNames = QStringList()) const;

    [[nodiscard]] static bool isValidVersion(const QString &version);
    [[nodiscard]] static bool isValidFolder(const QString &folder);

private:
    QString m_version;
    QString m_folder;
    QMap<QString, ReleaseManifestEntry> m_files;
};

// Lower-case hex SHA-256 of the file's content, or an empty string when it cannot be read.
[[nodiscard]] QString fileSha256(const QString &path);

// How one version text relates to another, for "older than installed" decisions; the caller
// decides what to do with each answer.
enum class VersionOrder { Lower, Equal, Higher, Incomparable };

// Compares dotted versions component by component from the left: components that are decimal
// numbers in both compare as numbers (1.10 is higher than 1.9, 01 equals 1, any length), a missing
// component counts as 0 (1.2 equals 1.2.0), and equal texts are equal components. The first
// component that differs decides; if it is not a decimal number in both (1.0-beta against 1.0,
// 2a against 2b), the versions are Incomparable. An empty version is Incomparable to anything, even
// to another empty one; otherwise equal texts are Equal. Nothing is trimmed.
[[nodiscard]] VersionOrder compareVersions(const QString &version, const QString &other);
