#ifndef EXPORTNAMES_H
#define EXPORTNAMES_H

#include <QString>
#include <QStringList>

// Export file and worksheet names built from instrument names: file names that stay inside the
// export folder and survive a copy to Windows, sheet titles that workbooks accept.
class ExportNames
{
public:
    // Sheet titles count UTF-16 units, as Excel does; that also keeps libxlsxwriter's count of
    // characters within its limit.
    static constexpr int kSheetTitleLimit = 31;

    // text without path separators, control characters, \:*?"<>| and leading dots, and short
    // enough that a name built from it fits every file system.
    static QString filePart(const QString &text);
    // folder/base.xlsx, or folder/base(k).xlsx for the first k = 1, 2, ... whose name is free.
    // The file is created empty at once so that no other export takes the name; when the folder
    // refuses it, the free name is returned without a file.
    static QString reserveFile(const QString &folder, const QString &base);
    // Ends the base name of a workbook that holds only part of what was asked for, because
    // reading the rest failed.
    static QString partialMark() { return QStringLiteral("_不完整"); }
    // A title for name that workbooks accept and that differs, without regard to case, from
    // every title in taken: forbidden characters and outer apostrophes dropped, cut to the limit,
    // a numbered "(k)" suffix when taken.
    static QString sheetTitle(const QString &name, const QStringList &taken);
};

#endif // EXPORTNAMES_H
