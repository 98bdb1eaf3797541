#include "history/recordworkbook.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestRecordWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void recordsFillNineColumnsInTableOrder();
    void fullSheetsContinueOnFurtherSheetsWithTheirOwnHeader();
    void unsavedWorkbookLeavesNoFile();
};

namespace {

std::string timeOf(int i)
{
    return "2024-01-02 08:30:0" + std::to_string(i);
}

std::vector<RecordRow *> makeRows(int count)
{
    std::vector<RecordRow *> rows;
    for (int i = 0; i < count; ++i)
        rows.push_back(new RecordRow(makeRecord("出口", i, timeOf(i))));
    return rows;
}

QStringList cellsOf(int i)
{
    const RecordRow row = makeRecord("出口", i, timeOf(i));
    return recordCells({QString::fromStdString(row.time), "出口", "DI590", "3", QString::number(i),
                        QString::fromStdString(row.factor), QString::fromStdString(row.value),
                        QString::fromStdString(row.unit), "N"});
}

} // namespace

void TestRecordWorkbook::recordsFillNineColumnsInTableOrder()
{
    QTemporaryDir dir;
    std::vector<RecordRow *> rows = makeRows(2);
    RecordWorkbook workbook(dir.filePath("a.xlsx"));
    workbook.beginSheet("出口");
    workbook.appendRows(rows);
    workbook.beginInitialSheet(QStringList());
    QVERIFY(workbook.save());
    RecordDatabase::freeRows(rows);

    const QList<WorkbookSheet> sheets = readWorkbook(dir.filePath("a.xlsx"));
    QCOMPARE(sheets.size(), 2);
    QCOMPARE(sheets[0].title, QString("出口"));
    QCOMPARE(sheets[0].rows, QList<QStringList>({recordHeaderCells(), cellsOf(0), cellsOf(1)}));
    QVERIFY(sheets[0].centred);
    QCOMPARE(sheets[1].title, QString("Sheet1"));
    QVERIFY(sheets[1].rows.isEmpty());
}

void TestRecordWorkbook::fullSheetsContinueOnFurtherSheetsWithTheirOwnHeader()
{
    QTemporaryDir dir;
    std::vector<RecordRow *> rows = makeRows(7);
    RecordWorkbook workbook(dir.filePath("a.xlsx"));
    workbook.setSheetRowLimit(4);
    workbook.beginSheet("出口");
    workbook.appendRows(rows);
    QVERIFY(workbook.save());
    RecordDatabase::freeRows(rows);

    const QList<WorkbookSheet> sheets = readWorkbook(dir.filePath("a.xlsx"));
    QStringList titles;
    for (const WorkbookSheet &sheet : sheets)
        titles << sheet.title;
    QCOMPARE(titles, QStringList({"出口", "出口(1)", "出口(2)"}));
    QCOMPARE(sheets[0].rows,
             QList<QStringList>({recordHeaderCells(), cellsOf(0), cellsOf(1), cellsOf(2)}));
    QCOMPARE(sheets[1].rows,
             QList<QStringList>({recordHeaderCells(), cellsOf(3), cellsOf(4), cellsOf(5)}));
    QCOMPARE(sheets[2].rows, QList<QStringList>({recordHeaderCells(), cellsOf(6)}));
}

void TestRecordWorkbook::unsavedWorkbookLeavesNoFile()
{
    QTemporaryDir dir;
    std::vector<RecordRow *> rows = makeRows(1);
    {
        RecordWorkbook workbook(dir.filePath("a.xlsx"));
        workbook.beginSheet("出口");
        workbook.appendRows(rows);
        QVERIFY(QFileInfo::exists(dir.filePath("a.xlsx")));
    }
    RecordDatabase::freeRows(rows);
    QVERIFY(!QFileInfo::exists(dir.filePath("a.xlsx")));
}

QTEST_APPLESS_MAIN(TestRecordWorkbook)
#include "tst_recordworkbook.moc"
