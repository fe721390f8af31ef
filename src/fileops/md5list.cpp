#include "md5list.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTextStream>

namespace {

constexpr QChar FieldSeparator = QLatin1Char('\t');

} // namespace

Md5ListGenerator::Md5ListGenerator(const QString &dir)
    : m_dir(dir)
{
}

void Md5ListGenerator::generate()
{
    if (m_dir.isEmpty())
        return;

    QStringList paths;
    collectFiles(m_dir, QString(), paths);

    Md5List list;
    for (const QString &path : qAsConst(paths))
        list.insert(path, fileMd5(m_dir + QLatin1Char('/') + path));

    // A list that cannot be written simply leaves no md5.txt; the caller then compares against an
    // empty list and downloads everything.
    (void)writeList(list, m_dir + QLatin1String(Md5ListFileName));
}

void collectFiles(const QString &base, const QString &rel, QStringList &out)
{
    const QDir dir(base + rel);
    if (!dir.exists())
        return;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot, QDir::NoSort);
    for (const QFileInfo &entry : entries) {
        const QString path = rel + QLatin1Char('/') + entry.fileName();
        // A linked directory is not entered (a link to an ancestor would never end), and only
        // regular files are listed: hashing a device or a pipe would read without end.
        if (entry.isDir()) {
            if (!entry.isSymLink())
                collectFiles(base, path, out);
        } else if (entry.isFile()) {
            out.append(path);
        }
    }
}

QString fileMd5(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    QCryptographicHash hash(QCryptographicHash::Md5);
    if (!hash.addData(&file)) {
        file.close();
        return QString();
    }
    file.close();
    return QString::fromLatin1(hash.result().toHex());
}

bool writeList(const Md5List &list, const QString &path, QTextCodec *codec)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        return false;
    QTextStream stream(&file);
    if (codec)
        stream.setCodec(codec);
    for (auto it = list.cbegin(); it != list.cend(); ++it)
        stream << it.value() << FieldSeparator << it.key() << '\n';
    stream.flush();
    file.close();
    return true;
}

Md5List readMd5List(const QString &path, QTextCodec *codec)
{
    Md5List list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return list;
    QTextStream stream(&file);
    if (codec)
        stream.setCodec(codec);
    QString line;
    while (stream.readLineInto(&line)) {
        const QStringList fields = line.split(FieldSeparator, Qt::KeepEmptyParts);
        if (fields.size() >= 2)
            list.insert(fields.at(1), fields.at(0));
    }
    file.close();
    return list;
}

Md5List compareMd5Lists(const Md5List &oldList, const Md5List &newList)
{
    Md5List changed;
    for (auto it = newList.cbegin(); it != newList.cend(); ++it) {
        const auto old = oldList.constFind(it.key());
        if (old == oldList.cend() || old.value() != it.value())
            changed.insert(it.key(), it.value());
    }
    return changed;
}
