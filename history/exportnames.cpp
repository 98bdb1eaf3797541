#include "exportnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

// Leaves room for "_" + two 14-digit times + "(k).xlsx" within the usual 255-byte name limit.
const int filePartLimitBytes = 200;

const QString untitledSheet = QStringLiteral("未命名");

// text without control characters and without the characters of forbidden.
QString without(const QString &text, const QString &forbidden)
{
    QString kept;
    kept.reserve(text.size());
    for (QChar c : text)
        if (c.unicode() >= 0x20 && c.unicode() != 0x7f && !forbidden.contains(c))
            kept.append(c);
    return kept;
}

// Cuts text to at most limit UTF-16 units without splitting a surrogate pair.
QString cutUnits(const QString &text, int limit)
{
    if (text.size() <= limit)
        return text;
    if (limit > 0 && text.at(limit - 1).isHighSurrogate())
        --limit;
    return text.left(limit);
}

// Cuts text to at most limit bytes of UTF-8 without splitting a character.
QString cutUtf8(const QString &text, int limit)
{
    int bytes = 0;
    int end = 0;
    while (end < text.size()) {
        const ushort unit = text.at(end).unicode();
        const bool pair = QChar::isHighSurrogate(unit) && end + 1 < text.size() &&
                          text.at(end + 1).isLowSurrogate();
        const int size = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
        if (bytes + size > limit)
            break;
        bytes += size;
        end += pair ? 2 : 1;
    }
    return text.left(end);
}

QString trimApostrophes(QString text)
{
    while (text.startsWith(QLatin1Char('\'')))
        text.remove(0, 1);
    while (text.endsWith(QLatin1Char('\'')))
        text.chop(1);
    return text;
}

bool isTaken(const QString &title, const QStringList &taken)
{
    const QString folded = title.toCaseFolded();
    for (const QString &other : taken)
        if (other.toCaseFolded() == folded)
            return true;
    return false;
}

} // namespace

QString ExportNames::filePart(const QString &text)
{
    QString part = without(text, QStringLiteral("/\\:*?\"<>|"));
    // A leading dot would hide the file, and "." or ".." would name a folder.
    while (part.startsWith(QLatin1Char('.')))
        part.remove(0, 1);
    return cutUtf8(part, filePartLimitBytes);
}

QString ExportNames::reserveFile(const QString &folder, const QString &base)
{
    const QDir dir(folder);
    QString path = dir.filePath(base + QStringLiteral(".xlsx"));
    for (int k = 1;; ++k) {
        const QFileInfo info(path);
        // A dangling link counts as taken: writing through it would land elsewhere.
        if (!info.exists() && !info.isSymLink()) {
            QFile file(path);
            if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly) || !QFileInfo::exists(path))
                return path;
        }
        path = dir.filePath(base + QStringLiteral("(%1).xlsx").arg(k));
    }
}

QString ExportNames::sheetTitle(const QString &name, const QStringList &taken)
{
    QString clean = without(name, QStringLiteral("[]:*?/\\"));
    clean = trimApostrophes(cutUnits(trimApostrophes(clean), kSheetTitleLimit));
    if (clean.isEmpty())
        clean = untitledSheet;

    QString title = clean;
    for (int k = 1; isTaken(title, taken); ++k) {
        const QString suffix = QStringLiteral("(%1)").arg(k);
        title = trimApostrophes(cutUnits(clean, kSheetTitleLimit - suffix.size())) + suffix;
    }
    return title;
}
