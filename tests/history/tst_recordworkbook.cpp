#include "history/recordworkbook.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

class TestRecordWorkbook : public QObject
{
    Q_OBJECT

private slots:
    void recordsFillNineColumnsInTableOrder();
    void fullSheetsContinueOnFurtherSheetsWithTheirOwnHeader();
    void unsavedWorkbookLeavesNoFile();
    void measuredValuesAreNumbersShownAsTheirText();
    void fileSizeLimitFailsTheSaveAndLeavesNothing_data();
    void fileSizeLimitFailsTheSaveAndLeavesNothing();
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

void TestRecordWorkbook::measuredValuesAreNumbersShownAsTheirText()
{
    // The value text and the cell a reader sees.
    const QList<QPair<QString, QString>> cases{
        {"8.25", "n:8.25"},
        {"8.250", "n:8.250"},
        {"21.4", "n:21.4"},
        {"0", "n:0"},
        {"0.00", "n:0.00"},
        {"1200", "n:1200"},
        {"-3.5", "n:-3.5"},
        {"-0.05", "n:-0.05"},
        {"123456789012.345", "n:123456789012.345"},
        // More digits than a spreadsheet shows.
        {"1234567890123456", "s:1234567890123456"},
        {"0.0000000000000001", "s:0.0000000000000001"},
        // Shown without its sign, or with other digits, as a number.
        {"-0.00", "s:-0.00"},
        {"08.25", "s:08.25"},
        {"+5", "s:+5"},
        {".5", "s:.5"},
        {"5.", "s:5."},
        {"1e3", "s:1e3"},
        {"inf", "s:inf"},
        {"nan", "s:nan"},
        {"1,5", "s:1,5"},
        {" 5", "s: 5"},
        {"5 ", "s:5 "},
        {"1.2.3", "s:1.2.3"},
        {"----", "s:----"},
        // The library writes an empty text as a blank cell.
        {"", "n:"},
    };
    QTemporaryDir dir;
    std::vector<RecordRow *> rows;
    for (const auto &valueCase : cases) {
        rows.push_back(new RecordRow(makeRecord("出口", 0, timeOf(0))));
        rows.back()->value = valueCase.first.toStdString();
    }
    RecordWorkbook workbook(dir.filePath("a.xlsx"));
    workbook.beginSheet("出口");
    workbook.appendRows(rows);
    QVERIFY(workbook.save());
    RecordDatabase::freeRows(rows);

    const QList<WorkbookSheet> sheets = readWorkbook(dir.filePath("a.xlsx"));
    QCOMPARE(sheets.size(), 1);
    QStringList expected;
    QStringList cells;
    for (int i = 0; i < cases.size(); ++i) {
        expected << cases[i].first + " " + cases[i].second;
        cells << cases[i].first + " " + sheets[0].rows.value(i + 1).value(6);
    }
    QCOMPARE(cells, expected);
    QVERIFY(sheets[0].centred);
}

void TestRecordWorkbook::fileSizeLimitFailsTheSaveAndLeavesNothing_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<bool>("saved");
    // Rows stream to temporary files and are zipped after: a limit can cut either.
    QTest::newRow("16 KiB") << 16 * 1024 << false;
    QTest::newRow("128 KiB") << 128 * 1024 << false;
    QTest::newRow("1 MiB") << 1024 * 1024 << false;
    QTest::newRow("64 MiB") << 64 * 1024 * 1024 << true;
}

void TestRecordWorkbook::fileSizeLimitFailsTheSaveAndLeavesNothing()
{
    QFETCH(int, limit);
    QFETCH(bool, saved);
    QTemporaryDir dir;
    const QString path = dir.filePath("a.xlsx");
    std::vector<RecordRow *> rows = makeRows(8000);
    const pid_t child = fork();
    QVERIFY(child >= 0);
    if (child == 0) {
        // As on a disk that fills up: writes beyond the limit fail.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit size{rlim_t(limit), rlim_t(limit)};
        setrlimit(RLIMIT_FSIZE, &size);
        const QStringList before = openFiles();
        bool done;
        {
            RecordWorkbook workbook(path);
            workbook.beginSheet("出口");
            workbook.appendRows(rows);
            workbook.beginInitialSheet(QStringList());
            done = workbook.save();
        }
        const bool kept = QFileInfo::exists(path);
        const bool leaked = openFiles() != before;
        _exit((done ? 1 : 0) | (kept ? 2 : 0) | (leaked ? 4 : 0) |
              (QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size() > int(kept) ? 8
                                                                                          : 0));
    }
    RecordDatabase::freeRows(rows);
    int status = 0;
    QCOMPARE(waitpid(child, &status, 0), child);
    QVERIFY(WIFEXITED(status));
    // Saved and kept, or neither; nothing else left in the folder or open.
    QCOMPARE(WEXITSTATUS(status), saved ? 3 : 0);
    if (saved)
        QCOMPARE(readWorkbook(path).value(0).rows.size(), 8001);
}

QTEST_APPLESS_MAIN(TestRecordWorkbook)
#include "tst_recordworkbook.moc"
