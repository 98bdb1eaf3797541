#include "history/excelwriter.h"
#include "history/recordworkbook.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

class TestExcelWriter : public QObject
{
    Q_OBJECT

private slots:
    void workbookHoldsHeadersThenTypedCentredCells();
    void progressComesEveryHundredthRow_data();
    void progressComesEveryHundredthRow();
    void handedOverTextsAreWrittenInsteadOfTheWidget();
    void failedSaveIsReportedAndLeavesNoFile_data();
    void failedSaveIsReportedAndLeavesNoFile();
};

namespace {

QStringList rowTexts(int r, const QString &name = QStringLiteral("1号池"))
{
    return {QStringLiteral("2024-01-02 08:%1:00").arg(r % 60, 2, 10, QLatin1Char('0')),
            name,
            QStringLiteral("DI590"),
            QStringLiteral("3"),
            QString::number(r % 2),
            QStringLiteral("DO"),
            QStringLiteral("8.25"),
            QStringLiteral("mg/L"),
            QStringLiteral("N")};
}

void fill(QTableWidget &table, int rows, const QString &name = QStringLiteral("1号池"))
{
    table.setColumnCount(9);
    table.setHorizontalHeaderLabels(RecordWorkbook::headers());
    table.setRowCount(rows);
    for (int r = 0; r < rows; ++r) {
        const QStringList texts = rowTexts(r, name);
        for (int c = 0; c < texts.size(); ++c)
            table.setItem(r, c, new QTableWidgetItem(texts.at(c)));
    }
}

} // namespace

void TestExcelWriter::workbookHoldsHeadersThenTypedCentredCells()
{
    QTemporaryDir dir;
    QTableWidget table;
    fill(table, 3);
    table.item(2, 3)->setText("abc"); // not a number: stored as 0
    const QString path = dir.filePath("out.xlsx");
    ExcelWriter writer;
    QSignalSpy done(&writer, &ExcelWriter::signal_writeDone);
    writer.write(&table, path);

    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(0).value<QTableWidget *>(), &table);
    QCOMPARE(done.at(0).at(1).toString(), path);
    const QList<WorkbookSheet> sheets = readWorkbook(path);
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].title, QString("Sheet1"));
    QVERIFY(sheets[0].centred);
    QCOMPARE(sheets[0].rows.size(), 4);
    QCOMPARE(sheets[0].rows[0], recordHeaderCells());
    QCOMPARE(sheets[0].rows[1], recordCells(rowTexts(0)));
    QCOMPARE(sheets[0].rows[2], recordCells(rowTexts(1)));
    QStringList third = rowTexts(2);
    third[3] = "0";
    QCOMPARE(sheets[0].rows[3], recordCells(third));
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
    QTableWidget table;
    fill(table, rows);
    ExcelWriter writer;
    QSignalSpy progress(&writer, &ExcelWriter::signal_progressExcel);
    writer.write(&table, dir.filePath("out.xlsx"));

    QList<int> rowsReported;
    for (const QList<QVariant> &arguments : progress)
        rowsReported << arguments.at(0).toInt();
    QCOMPARE(rowsReported, reported);
    const QList<WorkbookSheet> sheets = readWorkbook(dir.filePath("out.xlsx"));
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].rows.size(), rows + 1);
    QCOMPARE(sheets[0].rows.last(), recordCells(rowTexts(rows - 1)));
}

void TestExcelWriter::handedOverTextsAreWrittenInsteadOfTheWidget()
{
    QTemporaryDir dir;
    QTableWidget table;
    fill(table, 1, "widget");
    QTableWidget handedFrom;
    fill(handedFrom, 2, "handed");
    ExcelWriter writer;
    writer.handOver(&table, TableTexts::of(&handedFrom));
    writer.write(&table, dir.filePath("handed.xlsx"));
    // A hand-over serves one write only.
    writer.write(&table, dir.filePath("widget.xlsx"));

    const QList<WorkbookSheet> handed = readWorkbook(dir.filePath("handed.xlsx"));
    QCOMPARE(handed.value(0).rows.size(), 3);
    QCOMPARE(handed[0].rows[2], recordCells(rowTexts(1, "handed")));
    const QList<WorkbookSheet> widget = readWorkbook(dir.filePath("widget.xlsx"));
    QCOMPARE(widget.value(0).rows.size(), 2);
    QCOMPARE(widget[0].rows[1], recordCells(rowTexts(0, "widget")));
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
    QTableWidget table;
    fill(table, 150);
    ExcelWriter writer;
    QSignalSpy done(&writer, &ExcelWriter::signal_writeDone);
    QSignalSpy failed(&writer, &ExcelWriter::signal_writeFailed);
    QSignalSpy progress(&writer, &ExcelWriter::signal_progressExcel);
    const QString path = dir.filePath(relative);
    writer.write(&table, path);

    QCOMPARE(done.count(), 0);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(failed.at(0).at(1).toString(), path);
    // Refused before any row was written.
    QCOMPARE(progress.count(), 0);
    QVERIFY(!QFileInfo(path).isFile());
}

QTEST_MAIN(TestExcelWriter)
#include "tst_excelwriter.moc"
