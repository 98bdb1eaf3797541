#include "history/excelwriter.h"
#include "history/recordworkbook.h"
#include "storage/recordresult.h"
#include "storage/recordrow.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

class TestExcelWriter : public QObject
{
    Q_OBJECT

private slots:
    void workbookHoldsHeadersThenTypedCentredCells();
    void progressComesEveryHundredthRow_data();
    void progressComesEveryHundredthRow();
    void rowsAreWrittenInListingOrder();
    void failedSaveIsReportedAndLeavesNoFile_data();
    void failedSaveIsReportedAndLeavesNoFile();
    void cancelledWriteLeavesNoFile_data();
    void cancelledWriteLeavesNoFile();
    void writesLeaveNoFileOpen();
};

namespace {

// Row r of one instrument and channel, r seconds after 08:00, so that later rows are newer.
RecordRow record(int r, const std::string &name = "1号池", int channel = 0)
{
    RecordRow row;
    row.time = QTime(8, 0).addSecs(r).toString("2024-01-02 hh:mm:ss").toStdString();
    row.model = "DI590";
    row.name = name;
    row.slave = 3;
    row.channel = channel;
    row.factor = "DO";
    row.value = std::to_string(r);
    row.unit = "mg/L";
    row.status = "N";
    return row;
}

QStringList texts(const RecordRow &row)
{
    return {QString::fromStdString(row.time),  QString::fromStdString(row.name),
            QString::fromStdString(row.model), QString::number(row.slave),
            QString::number(row.channel),      QString::fromStdString(row.factor),
            QString::fromStdString(row.value), QString::fromStdString(row.unit),
            QString::fromStdString(row.status)};
}

std::vector<RecordRow> records(int count)
{
    std::vector<RecordRow> rows;
    for (int r = 0; r < count; ++r)
        rows.push_back(record(r));
    return rows;
}

} // namespace

void TestExcelWriter::workbookHoldsHeadersThenTypedCentredCells()
{
    QTemporaryDir dir;
    const auto rows = RecordResult::fromRows(records(3));
    const QString path = dir.filePath("out.xlsx");
    ExcelWriter writer;
    QSignalSpy done(&writer, &ExcelWriter::signal_writeDone);
    writer.write(rows, path);

    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).toString(), path);
    const QList<WorkbookSheet> sheets = readWorkbook(path);
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].title, QString("Sheet1"));
    QVERIFY(sheets[0].centred);
    QCOMPARE(sheets[0].rows.size(), 4);
    QCOMPARE(sheets[0].rows[0], recordHeaderCells());
    // Newest first.
    QCOMPARE(sheets[0].rows[1], recordCells(texts(record(2))));
    QCOMPARE(sheets[0].rows[3], recordCells(texts(record(0))));
    QCOMPARE(sheets[0].rows[1][3], QString("n:3"));
}

void TestExcelWriter::progressComesEveryHundredthRow_data()
{
    QTest::addColumn<int>("rows");
    QTest::addColumn<QList<int>>("reported");
    QList<int> everySecond;
    for (int r = 2; r <= 250; r += 2)
        everySecond << r;
    QTest::newRow("250 rows") << 250 << everySecond;
    QTest::newRow("99 rows") << 99 << QList<int>();
    QTest::newRow("40 rows") << 40 << QList<int>();
}

void TestExcelWriter::progressComesEveryHundredthRow()
{
    QFETCH(int, rows);
    QFETCH(QList<int>, reported);
    QTemporaryDir dir;
    ExcelWriter writer;
    QSignalSpy progress(&writer, &ExcelWriter::signal_progressExcel);
    writer.write(RecordResult::fromRows(records(rows)), dir.filePath("out.xlsx"));

    QList<int> rowsReported;
    for (const QList<QVariant> &arguments : progress)
        rowsReported << arguments.at(0).toInt();
    QCOMPARE(rowsReported, reported);
    const QList<WorkbookSheet> sheets = readWorkbook(dir.filePath("out.xlsx"));
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].rows.size(), rows + 1);
    QCOMPARE(sheets[0].rows.last(), recordCells(texts(record(0))));
}

void TestExcelWriter::rowsAreWrittenInListingOrder()
{
    // In reading order: by time, instruments and channels mixed.
    std::vector<RecordRow> read{record(0, "b", 1), record(1, "a", 0), record(2, "b", 0),
                                record(3, "a", 0), record(4, "b", 1)};
    QTemporaryDir dir;
    ExcelWriter writer;
    writer.write(RecordResult::fromRows(read), dir.filePath("out.xlsx"));

    QList<QStringList> expected{recordHeaderCells()};
    for (int r : {3, 1, 2, 4, 0})
        expected << recordCells(texts(read[size_t(r)]));
    QCOMPARE(readWorkbook(dir.filePath("out.xlsx")).value(0).rows, expected);
}

void TestExcelWriter::failedSaveIsReportedAndLeavesNoFile_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("missing folder") << "missing/out.xlsx";
    QTest::newRow("folder in the way") << "folder.xlsx";
    QTest::newRow("file as folder") << "file/out.xlsx";
}

void TestExcelWriter::failedSaveIsReportedAndLeavesNoFile()
{
    QFETCH(QString, relative);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("folder.xlsx"));
    QFile file(dir.filePath("file"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    ExcelWriter writer;
    QSignalSpy done(&writer, &ExcelWriter::signal_writeDone);
    QSignalSpy failed(&writer, &ExcelWriter::signal_writeFailed);
    QSignalSpy progress(&writer, &ExcelWriter::signal_progressExcel);
    const QString path = dir.filePath(relative);
    writer.write(RecordResult::fromRows(records(150)), path);

    QCOMPARE(done.count(), 0);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(0).toString(), path);
    // Refused before any row was written.
    QCOMPARE(progress.count(), 0);
    QVERIFY(!QFileInfo(path).isFile());
}

void TestExcelWriter::cancelledWriteLeavesNoFile_data()
{
    QTest::addColumn<bool>("beforeStart");
    QTest::newRow("before the write") << true;
    QTest::newRow("during the write") << false;
}

void TestExcelWriter::cancelledWriteLeavesNoFile()
{
    QFETCH(bool, beforeStart);
    QTemporaryDir dir;
    const QString path = dir.filePath("out.xlsx");
    // Reserved as the dialog does.
    QFile reserved(path);
    QVERIFY(reserved.open(QIODevice::WriteOnly));
    reserved.close();
    ExcelWriter writer;
    QSignalSpy done(&writer, &ExcelWriter::signal_writeDone);
    QSignalSpy failed(&writer, &ExcelWriter::signal_writeFailed);
    if (beforeStart)
        writer.cancel();
    else
        connect(&writer, &ExcelWriter::signal_progressExcel, &writer, [&writer](int row) {
            if (row >= 500)
                writer.cancel();
        });
    writer.write(RecordResult::fromRows(records(2000)), path);

    QCOMPARE(done.count(), 0);
    QCOMPARE(failed.count(), 1);
    QVERIFY(!QFileInfo::exists(path));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

void TestExcelWriter::writesLeaveNoFileOpen()
{
    QTemporaryDir dir;
    const auto rows = RecordResult::fromRows(records(300));
    ExcelWriter writer;
    QSignalSpy done(&writer, &ExcelWriter::signal_writeDone);
    QSignalSpy failed(&writer, &ExcelWriter::signal_writeFailed);
    const QStringList before = openFiles();
    for (int i = 0; i < 4; ++i)
        writer.write(rows, dir.filePath(QString("out%1.xlsx").arg(i)));
    // One fails as the library saves, its folder gone meanwhile; one is cancelled.
    QVERIFY(QDir(dir.path()).mkdir("gone"));
    const QMetaObject::Connection removal =
        connect(&writer, &ExcelWriter::signal_progressExcel, &writer,
                [&dir] { QDir(dir.filePath("gone")).removeRecursively(); });
    writer.write(rows, dir.filePath("gone/out.xlsx"));
    disconnect(removal);
    connect(&writer, &ExcelWriter::signal_progressExcel, &writer, [&writer] { writer.cancel(); });
    writer.write(rows, dir.filePath("cancelled.xlsx"));

    QCOMPARE(done.count(), 4);
    QCOMPARE(failed.count(), 2);
    QCOMPARE(openFiles(), before);
    QCOMPARE(readWorkbook(dir.filePath("out3.xlsx")).value(0).rows.size(), 301);
}

QTEST_MAIN(TestExcelWriter)
#include "tst_excelwriter.moc"
