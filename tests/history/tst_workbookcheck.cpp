#include "history/recordworkbook.h"
#include "history/workbookcheck.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

#include <unzip.h>
#include <zip.h>

class TestWorkbookCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void savedWorkbookIsCompleteOnlyWithItsOwnRowCounts();
    void damagedPackageIsIncomplete_data();
    void damagedPackageIsIncomplete();
    void truncatedFileIsIncomplete_data();
    void truncatedFileIsIncomplete();
    void flippedByteInAPartIsIncomplete_data();
    void flippedByteInAPartIsIncomplete();

private:
    QTemporaryDir dir;
    QString saved;
};

namespace {

// A sheet of the header and this many records, then the empty initial sheet.
const int records = 300;
const std::vector<int> savedRows{records + 1, 0};

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// Copies a zip part by part with sound checksums, each part through change; a null result
// leaves the part out.
using Change = std::function<QByteArray(const QString &part, const QByteArray &content)>;
bool repack(const QString &from, const QString &to, const Change &change)
{
    unzFile source = unzOpen64(QFile::encodeName(from).constData());
    zipFile target = zipOpen64(QFile::encodeName(to).constData(), 0);
    bool sound = source && target;
    for (int at = sound ? unzGoToFirstFile(source) : UNZ_EOF; sound && at == UNZ_OK;
         at = unzGoToNextFile(source)) {
        char name[256] = {};
        unz_file_info64 info;
        sound = unzGetCurrentFileInfo64(source, &info, name, sizeof(name) - 1, nullptr, 0,
                                        nullptr, 0) == UNZ_OK &&
                unzOpenCurrentFile(source) == UNZ_OK;
        QByteArray content(int(info.uncompressed_size), '\0');
        sound = sound &&
                unzReadCurrentFile(source, content.data(), unsigned(content.size())) ==
                    content.size() &&
                unzCloseCurrentFile(source) == UNZ_OK;
        const QByteArray changed = change(QString::fromUtf8(name), content);
        if (!sound || changed.isNull())
            continue;
        zip_fileinfo fileInfo = {};
        sound = zipOpenNewFileInZip64(target, name, &fileInfo, nullptr, 0, nullptr, 0, nullptr,
                                      Z_DEFLATED, Z_DEFAULT_COMPRESSION, 0) == ZIP_OK &&
                zipWriteInFileInZip(target, changed.constData(), unsigned(changed.size())) ==
                    ZIP_OK &&
                zipCloseFileInZip(target) == ZIP_OK;
    }
    if (source)
        unzClose(source);
    if (target)
        sound = zipClose(target, nullptr) == ZIP_OK && sound;
    return sound;
}

// The byte range of a part's compressed data, from its local header.
QPair<int, int> compressedRange(const QByteArray &zip, const QByteArray &part)
{
    const int name = zip.indexOf(part);
    const int header = name - 30;
    const auto word = [&](int at) { return quint8(zip[at]) | quint8(zip[at + 1]) << 8; };
    const int start = name + part.size() + word(header + 28);
    const int size = int(word(header + 18) | word(header + 20) << 16);
    return {start, start + size};
}

} // namespace

void TestWorkbookCheck::initTestCase()
{
    saved = dir.filePath("saved.xlsx");
    std::vector<RecordRow *> rows;
    for (int i = 0; i < records; ++i)
        rows.push_back(new RecordRow(makeRecord("出口", i % 2, "2024-01-02 08:00:00")));
    RecordWorkbook workbook(saved);
    workbook.beginSheet("出口");
    workbook.appendRows(rows);
    workbook.beginInitialSheet(QStringList());
    QVERIFY(workbook.save());
    RecordDatabase::freeRows(rows);
}

void TestWorkbookCheck::savedWorkbookIsCompleteOnlyWithItsOwnRowCounts()
{
    QVERIFY(WorkbookCheck::isComplete(saved, savedRows));
    // Repacked unchanged it is still the same workbook.
    const QString copy = dir.filePath("copy.xlsx");
    QVERIFY(repack(saved, copy, [](const QString &, const QByteArray &content) { return content; }));
    QVERIFY(WorkbookCheck::isComplete(copy, savedRows));

    QVERIFY(!WorkbookCheck::isComplete(saved, {records, 0}));
    QVERIFY(!WorkbookCheck::isComplete(saved, {records + 2, 0}));
    QVERIFY(!WorkbookCheck::isComplete(saved, {records + 1, 1}));
    // A sheet more or less than was written.
    QVERIFY(!WorkbookCheck::isComplete(saved, {records + 1}));
    QVERIFY(!WorkbookCheck::isComplete(saved, {records + 1, 0, 0}));
    QVERIFY(!WorkbookCheck::isComplete(dir.filePath("missing.xlsx"), savedRows));
}

void TestWorkbookCheck::damagedPackageIsIncomplete_data()
{
    QTest::addColumn<QString>("part");
    QTest::addColumn<QString>("damage");
    // What a failed temporary write leaves inside a package the library then zips soundly.
    QTest::newRow("sheet cut short") << "xl/worksheets/sheet1.xml" << "cut";
    QTest::newRow("sheet cut after a row") << "xl/worksheets/sheet1.xml" << "cut after a row";
    QTest::newRow("rows lost in the middle") << "xl/worksheets/sheet1.xml" << "hole";
    QTest::newRow("empty sheet cut short") << "xl/worksheets/sheet2.xml" << "cut";
    QTest::newRow("workbook part cut short") << "xl/workbook.xml" << "cut";
    QTest::newRow("relations cut short") << "_rels/.rels" << "cut";
    QTest::newRow("styles missing") << "xl/styles.xml" << "drop";
    QTest::newRow("content types missing") << "[Content_Types].xml" << "drop";
    QTest::newRow("sheet missing") << "xl/worksheets/sheet2.xml" << "drop";
}

void TestWorkbookCheck::damagedPackageIsIncomplete()
{
    QFETCH(QString, part);
    QFETCH(QString, damage);
    const QString damaged = dir.filePath("damaged.xlsx");
    QVERIFY(repack(saved, damaged, [&](const QString &name, const QByteArray &content) {
        if (name != part)
            return content;
        if (damage == "drop")
            return QByteArray();
        if (damage == "cut")
            return content.left(content.size() * 2 / 3);
        if (damage == "cut after a row")
            return content.left(content.lastIndexOf("</row>") + 6);
        // Rows 100 to 119 gone, cut at row boundaries.
        return content.left(content.indexOf("<row r=\"100\"")) +
               content.mid(content.indexOf("<row r=\"120\""));
    }));
    QVERIFY(!WorkbookCheck::isComplete(damaged, savedRows));
}

void TestWorkbookCheck::truncatedFileIsIncomplete_data()
{
    QTest::addColumn<int>("removed");
    QTest::newRow("last byte") << 1;
    QTest::newRow("end record") << 22;
    QTest::newRow("directory") << 300;
    QTest::newRow("half") << -2;
}

void TestWorkbookCheck::truncatedFileIsIncomplete()
{
    QFETCH(int, removed);
    const QByteArray bytes = readAll(saved);
    const int keep = removed < 0 ? bytes.size() / -removed : bytes.size() - removed;
    const QString cut = dir.filePath("cut.xlsx");
    QVERIFY(writeAll(cut, bytes.left(keep)));
    QVERIFY(!WorkbookCheck::isComplete(cut, savedRows));
}

void TestWorkbookCheck::flippedByteInAPartIsIncomplete_data()
{
    QTest::addColumn<QByteArray>("part");
    QTest::addColumn<int>("percent");
    for (const char *part : {"xl/worksheets/sheet1.xml", "xl/styles.xml"})
        for (int percent : {10, 50, 90})
            QTest::addRow("%s at %d%%", part, percent) << QByteArray(part) << percent;
}

void TestWorkbookCheck::flippedByteInAPartIsIncomplete()
{
    QFETCH(QByteArray, part);
    QFETCH(int, percent);
    QByteArray bytes = readAll(saved);
    const QPair<int, int> range = compressedRange(bytes, part);
    QVERIFY(range.second > range.first + 10 && range.second < bytes.size());
    const int at = range.first + (range.second - range.first) * percent / 100;
    bytes[at] = char(bytes[at] ^ 0x10);
    const QString flipped = dir.filePath("flipped.xlsx");
    QVERIFY(writeAll(flipped, bytes));
    QVERIFY(!WorkbookCheck::isComplete(flipped, savedRows));
}

QTEST_APPLESS_MAIN(TestWorkbookCheck)
#include "tst_workbookcheck.moc"
