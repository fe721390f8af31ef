#include "fileops/pathrules.h"

#include <QHash>
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

} // namespace

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
