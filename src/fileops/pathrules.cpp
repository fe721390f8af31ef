#include "fileops/pathrules.h"

#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

namespace {

// Windows opens these devices whatever directory and extension the name comes with. The
// superscript digits count as well (COM¹ is a serial port).
bool isDeviceName(const QString &name)
{
    static const QSet<QString> devices = [] {
        QSet<QString> set{QStringLiteral("CON"), QStringLiteral("PRN"), QStringLiteral("AUX"),
                          QStringLiteral("NUL"), QStringLiteral("CONIN$"), QStringLiteral("CONOUT$")};
        const QString digits = QStringLiteral("123456789") + QChar(0x00B9) + QChar(0x00B2) + QChar(0x00B3);
        for (const QChar digit : digits) {
            set.insert(QStringLiteral("COM") + digit);
            set.insert(QStringLiteral("LPT") + digit);
        }
        return set;
    }();

    // The part before the first dot, without the blanks Windows drops in front of an extension.
    QString stem = name.left(name.indexOf(QLatin1Char('.')));
    while (stem.endsWith(QLatin1Char(' ')))
        stem.chop(1);
    return devices.contains(stem.toUpper());
}


// Why one component of a path cannot be used; empty and "." components are the caller's business.
QString componentProblem(const QString &component)
{
    if (component == QLatin1String(".."))
        return QStringLiteral("\"..\" leads out of the directory");
    for (const QChar c : component) {
        // A colon makes a drive letter or an alternate data stream on Windows.
        if (c == QLatin1Char(':'))
            return QStringLiteral("\"%1\" holds a colon").arg(component);
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("\"%1\" holds a control character").arg(component);
    }
    return windowsNameProblem(component);
}

QString firstComponentProblem(const QStringList &components)
{
    for (const QString &component : components) {
        const QString problem = componentProblem(component);
        if (!problem.isEmpty())
            return problem;
    }
    return QString();
}

bool startsAbsolute(const QString &path)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    return path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('\\')) || drive.match(path).hasMatch()
        || QDir::isAbsolutePath(path);
}

QString withForwardSlashes(const QString &path)
{
    QString result = path;
    result.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return result;
}

QString workDirectoryProblem(const QString &value)
{
    if (value.trimmed().isEmpty())
        return QStringLiteral("empty");
    if (startsAbsolute(value))
        return QStringLiteral("not relative to the application directory");
    const QString cleaned = QDir::cleanPath(withForwardSlashes(value));
    if (cleaned.isEmpty() || cleaned == QLatin1String("."))
        return QStringLiteral("the application directory itself");
    if (cleaned == QLatin1String("..") || cleaned.startsWith(QLatin1String("../")))
        return QStringLiteral("\"..\" leads out of the application directory");
    return firstComponentProblem(cleaned.split(QLatin1Char('/')));
}

QString listPathProblem(const QString &path)
{
    if (path.size() < 2 || path.at(0) != QLatin1Char('/'))
        return QStringLiteral("does not begin with a single \"/\"");
    if (path.contains(QLatin1Char('\\')))
        return QStringLiteral("holds a backslash");
    const QStringList components = path.mid(1).split(QLatin1Char('/'), Qt::KeepEmptyParts);
    for (const QString &component : components) {
        if (component.isEmpty() || component == QLatin1String("."))
            return QStringLiteral("empty or \".\" component");
    }
    return firstComponentProblem(components);
}

QString transferDirectoryProblem(const QString &dir)
{
    if (startsAbsolute(dir))
        return QStringLiteral("absolute directory");
    // Windows reads a backslash as a separator, so ".." between backslashes escapes as well.
    QStringList components = withForwardSlashes(dir).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    components.removeAll(QStringLiteral("."));
    return firstComponentProblem(components);
}

QString fileNameProblem(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("empty file name");
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')))
        return QStringLiteral("separator in file name");
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("file name is a directory reference");
    return componentProblem(name);
}

} // namespace

QString pathProblem(const QString &path, PathKind kind)
{
    switch (kind) {
    case PathKind::WorkDirectory:
        return workDirectoryProblem(path);
    case PathKind::ListPath:
        return listPathProblem(path);
    case PathKind::TransferDirectory:
        return transferDirectoryProblem(path);
    case PathKind::FileName:
        return fileNameProblem(path);
    }
    return QStringLiteral("unknown kind of path");
}

bool isSameOrInside(const QString &path, const QString &root)
{
    if (path.compare(root, FileSystemCase) == 0)
        return true;
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    return path.startsWith(prefix, FileSystemCase);
}

bool directoriesOverlap(const QString &a, const QString &b)
{
    const QString x = QDir::cleanPath(withForwardSlashes(a));
    const QString y = QDir::cleanPath(withForwardSlashes(b));
    return isSameOrInside(x, y) || isSameOrInside(y, x);
}

QString windowsNameProblem(const QString &name)
{
    if (isDeviceName(name))
        return QStringLiteral("\"%1\" is a Windows device name").arg(name);
    if (name.endsWith(QLatin1Char('.')) || name.endsWith(QLatin1Char(' ')))
        return QStringLiteral("\"%1\" ends in a dot or a blank, which Windows drops").arg(name);
    return QString();
}

QString firstCaseCollision(const QStringList &paths)
{
    QHash<QString, QString> seen; // folded -> the path as first given
    for (const QString &path : paths) {
        QString folded = path.toCaseFolded();
        folded.replace(QLatin1Char('\\'), QLatin1Char('/'));
        const auto it = seen.constFind(folded);
        if (it == seen.cend())
            seen.insert(folded, path);
        else if (it.value() != path)
            return path;
    }
    return QString();
}
