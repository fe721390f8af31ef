#pragma once

#include "fileops/fileopsconstants.h"

#include <QMap>
#include <QString>
#include <QStringList>

class QTextCodec;

// Relative path ("/" first, "/" between components) -> lowercase hex MD5 of the file's bytes.
// QMap keeps the paths in QString order (case-sensitive, "/B.dll" before "/a.dll"), which is
// the order in which lists are written and files are downloaded.
using Md5List = QMap<QString, QString>;

// File name of an MD5 list, both the installation's and the one a release publishes.
inline constexpr const char *Md5ListFileName = FileOps::Md5FileName;

// Lists a directory tree with the MD5 of every file and writes it as dir + "md5.txt".
class Md5ListGenerator
{
public:
    // dir is expected to end with "/".
    explicit Md5ListGenerator(const QString &dir);

    // Hashes every file below the directory, then writes the list. An md5.txt that is already
    // there is listed like any other file, because the new one is written only after the walk.
    void generate();

private:
    QString m_dir;
};

// Appends the paths (rel + "/" + name, recursively) of every file below base + rel.
// Hidden entries, devices, pipes and linked directories are not listed (a link to a file is);
// a missing directory adds nothing.
void collectFiles(const QString &base, const QString &rel, QStringList &out);

// Lowercase hex MD5 of the file's content, or an empty string when it cannot be read.
[[nodiscard]] QString fileMd5(const QString &path);

// Writes "digest<TAB>path" lines in list order (text mode: CR LF on Windows), in codec or, when
// it is null, in the system's code page, which is what the updater reads (GBK on a Chinese
// Windows). False when the file cannot be opened for writing.
[[nodiscard]] bool writeList(const Md5List &list, const QString &path, QTextCodec *codec = nullptr);

// Reads a list file in codec or, when it is null, in the system's code page; lines without a TAB
// are skipped, extra fields ignored, a later line for the same path wins. An unreadable file
// reads as an empty list.
[[nodiscard]] Md5List readMd5List(const QString &path, QTextCodec *codec = nullptr);

// The entries of newList (with its digests) that are missing from oldList or differ from it.
// Files only in oldList are not reported: the comparison never removes anything.
[[nodiscard]] Md5List compareMd5Lists(const Md5List &oldList, const Md5List &newList);

