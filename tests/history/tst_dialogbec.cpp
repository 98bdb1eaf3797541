#include "app/appcontext.h"
#include "history/dialogbec.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <sys/resource.h>
#include <thread>

class TestDialogBEC : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void exportOnlyRunsNoOtherStage();
    void allStagesBackUpThenExportThenClear();
    void sheetsFollowTheDistinctNameOrderBeforeTheInitialSheet();
    void progressMovesEveryHundredthRowOfEachSheet();
    void exportsWithinOneSecondGetNumberedNames();
    void awkwardNamesGiveValidDistinctSheetTitles();
    void emptyDatabaseGivesOnlyTheInitialSheet();
    void exportBeginsWithTheAlarmLogUnderItsOwnTitle();
    void failedExportIsNotReportedAsSuccessAndTheRestFollows();
    void workbookOfADamagedFileIsNamedPartial();
    void clearRunsOnlyWhenACopyWasMade();
    void stagesRunOnAWorkerAndNeverClearRowsStoredMeanwhile();
    void closingIsRefusedWhileTheStagesRun();
    void closingBoxNamesTheStagesThatFailed_data();
    void closingBoxNamesTheStagesThatFailed();
    void exportCutShortByAFullDiskFailsAndKeepsTheRecords();
    void runsLeaveNoFileOpen();

private:
    std::unique_ptr<TempStation> station;
};

namespace {

RecordRow makeRow(const std::string &name, int channel, int second)
{
    RecordRow row = makeRecord(name, channel,
                               QDateTime(QDate(2024, 1, 2), QTime(8, 0))
                                   .addSecs(second)
                                   .toString("yyyy-MM-dd hh:mm:ss")
                                   .toStdString());
    row.value = std::to_string(second);
    return row;
}

// count readings of name, alternating between channels 0 and 1.
void store(const std::string &name, int count)
{
    std::vector<RecordRow> rows;
    for (int i = 0; i < count; ++i)
        rows.push_back(makeRow(name, i % 2, i));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
}

RecordDatabase *database()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

int storedRows()
{
    std::vector<RecordRow *> rows;
    database()->query(std::string(), rows);
    RecordDatabase::freeRows(rows);
    return int(rows.size());
}

QStringList exportedFiles()
{
    return QDir(AppContext::instance().path(ExportDir)).entryList(QDir::Files, QDir::Name);
}

QList<WorkbookSheet> onlyWorkbook()
{
    const QStringList files = exportedFiles();
    if (files.size() != 1)
        return {};
    return readWorkbook(AppContext::instance().path(ExportDir) + files[0]);
}

QStringList titles(const QList<WorkbookSheet> &sheets)
{
    QStringList list;
    for (const WorkbookSheet &sheet : sheets)
        list << sheet.title;
    return list;
}

// Runs a dialog with the stage mask until its stages are done; the status and the progress bar
// as they were when the closing box was asked.
struct Run
{
    Run(int mask, MessageBoxRecorder &boxes, const std::function<void(DialogBEC &)> &tick = nullptr)
    {
        DialogBEC dialog(nullptr, mask);
        title = dialog.windowTitle();
        auto *label = dialog.findChild<QLabel *>("labelProgress");
        auto *bar = dialog.findChild<QProgressBar *>("progressBar");
        auto *start = dialog.findChild<QPushButton *>("pushButtonStart");
        QSignalSpy values(bar, &QProgressBar::valueChanged);
        QSignalSpy done(&dialog, &DialogBEC::signal_stagesDone);
        boxes.whenAsked = [&](const MessageBoxes::Box &) {
            statusAtEnd = label->text();
            barAtEnd = bar->value();
        };
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] { tick(dialog); });
        if (tick)
            timer.start(10);
        dialog.show();
        start->click();
        startedAsync = dialog.isRunning() && !start->isEnabled();
        done.wait(120000);
        timer.stop();
        boxes.whenAsked = nullptr;
        for (const QList<QVariant> &arguments : values)
            progress << arguments.at(0).toInt();
        closed = done.count() == 1 && dialog.isHidden();
        idleAfter = label->text() == "无操作" && start->isEnabled();
    }

    QString title;
    QString statusAtEnd;
    int barAtEnd = -1;
    QList<int> progress;
    bool startedAsync = false;
    bool closed = false;
    bool idleAfter = false;
};

// The records of every sheet of a workbook as "name/value".
QSet<QString> exportedRecords(const QString &path)
{
    QSet<QString> records;
    for (const WorkbookSheet &sheet : readWorkbook(path)) {
        for (const QStringList &row : sheet.rows.mid(1))
            records << row.value(1).mid(2) + "/" + row.value(6).mid(2);
    }
    return records;
}

QSet<QString> storedRecords(const QString &file)
{
    const QStringList rows = selectWithKey(file, "SELECT name || '/' || value FROM Record");
    return QSet<QString>(rows.begin(), rows.end());
}

} // namespace

void TestDialogBEC::init()
{
    station = std::make_unique<TempStation>();
    QCOMPARE(AppContext::instance().init(), 0);
}

void TestDialogBEC::cleanup()
{
    station.reset();
}

void TestDialogBEC::exportOnlyRunsNoOtherStage()
{
    store("A", 3);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(DialogBEC::ExportStage, boxes);

    QCOMPARE(run.title, QString("导出数据"));
    QCOMPARE(run.statusAtEnd, QString("导出数据成功!"));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(boxes.boxes[0].title, QString("通知"));
    QCOMPARE(boxes.boxes[0].text, QString("操作完成!"));
    QVERIFY(run.startedAsync);
    QVERIFY(run.closed);
    QVERIFY(run.idleAfter);
    QCOMPARE(desktop.opened, QStringList({AppContext::instance().path(ExportDir)}));
    QVERIFY(QDir(AppContext::instance().path(BackupDir)).isEmpty());
    QCOMPARE(storedRows(), 3);
    const QStringList files = exportedFiles();
    QCOMPARE(files.size(), 1);
    QVERIFY(QRegularExpression("^自动导出_\\d{14}\\.xlsx$").match(files[0]).hasMatch());
}

void TestDialogBEC::allStagesBackUpThenExportThenClear()
{
    store("A", 4);
    store("B", 3);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage, boxes);

    QCOMPARE(run.title, QString("备份-导出-清除"));
    QCOMPARE(run.statusAtEnd, QString("清除数据成功!"));
    QCOMPARE(storedRows(), 0);
    const QStringList backups = QDir(AppContext::instance().path(BackupDir)).entryList(QDir::Files);
    QCOMPARE(backups.size(), 1);
    QCOMPARE(selectWithKey(AppContext::instance().path(BackupDir) + backups[0],
                           "SELECT count(*) FROM Record"),
             QStringList({"7"}));
    const QList<WorkbookSheet> sheets = onlyWorkbook();
    QCOMPARE(titles(sheets), QStringList({"A", "B", "Sheet1"}));
    QCOMPARE(sheets[0].rows.size(), 5);
    QCOMPARE(sheets[1].rows.size(), 4);
    QCOMPARE(boxes.boxes.size(), 1);
}

void TestDialogBEC::sheetsFollowTheDistinctNameOrderBeforeTheInitialSheet()
{
    store("2号池", 3);
    store("出口", 2);
    store("1号池", 2);
    std::vector<std::string> names;
    database()->distinctNames(names);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    Run(DialogBEC::ExportStage, boxes);

    const QList<WorkbookSheet> sheets = onlyWorkbook();
    QStringList expected;
    for (const std::string &name : names)
        expected << QString::fromStdString(name);
    QCOMPARE(expected.size(), 3);
    QCOMPARE(titles(sheets), expected << "Sheet1");
    for (const WorkbookSheet &sheet : sheets.mid(0, 3)) {
        QVERIFY(sheet.centred);
        QCOMPARE(sheet.rows.value(0), recordHeaderCells());
    }
    QVERIFY(sheets[3].rows.isEmpty());
    // Rows in query order: channel ascending, then newest first.
    const QString name = QString::fromStdString(names[0]);
    QCOMPARE(name, QString("1号池"));
    QCOMPARE(sheets[0].rows.mid(1),
             QList<QStringList>({recordCells({"2024-01-02 08:00:00", name, "DI590", "3", "0", "DO",
                                              "0", "mg/L", "N"}),
                                 recordCells({"2024-01-02 08:00:01", name, "DI590", "3", "1",
                                              "Temper", "1", "℃", "N"})}));
}

void TestDialogBEC::progressMovesEveryHundredthRowOfEachSheet()
{
    store("A", 250);
    store("B", 40);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(DialogBEC::ExportStage, boxes);

    QList<int> expected;
    for (int row = 2; row <= 250; row += 2)
        expected << row;
    // The bar restarts at 0 for sheet B and stays there.
    QCOMPARE(run.progress, expected << 0);
    QCOMPARE(run.barAtEnd, 0);
    const QList<WorkbookSheet> sheets = onlyWorkbook();
    QCOMPARE(sheets.value(0).rows.size(), 251);
    QCOMPARE(sheets.value(1).rows.size(), 41);
}

void TestDialogBEC::exportsWithinOneSecondGetNumberedNames()
{
    store("A", 1);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    // Two runs may straddle a second; a few tries find two within one.
    QStringList files;
    for (int attempt = 0; attempt < 5; ++attempt) {
        QDir(AppContext::instance().path(ExportDir)).removeRecursively();
        QDir().mkpath(AppContext::instance().path(ExportDir));
        Run(DialogBEC::ExportStage, boxes);
        Run(DialogBEC::ExportStage, boxes);
        files = exportedFiles();
        if (files.size() == 2 && files[0].left(19) == files[1].left(19))
            break;
    }
    QCOMPARE(files.size(), 2);
    QCOMPARE(files[0], files[1].left(19) + "(1).xlsx");
    QCOMPARE(readWorkbook(AppContext::instance().path(ExportDir) + files[0]).size(), 2);
}

void TestDialogBEC::awkwardNamesGiveValidDistinctSheetTitles()
{
    const std::string longName(40, 'z');
    for (const std::string &name :
         {std::string(), std::string("'q'"), std::string("Sheet1"), std::string("[x]"),
          std::string("a/b"), std::string("ab"), longName})
        store(name, 1);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(DialogBEC::ExportStage, boxes);

    QCOMPARE(run.statusAtEnd, QString("导出数据成功!"));
    const QList<WorkbookSheet> sheets = onlyWorkbook();
    QCOMPARE(titles(sheets), QStringList({"未命名", "q", "Sheet1(1)", "x", "ab", "ab(1)",
                                          QString(31, 'z'), "Sheet1"}));
    QCOMPARE(sheets[4].rows.value(1).value(1), QString("s:a/b"));
    // The library writes an empty text as a blank, centred cell.
    QCOMPARE(sheets[0].rows.value(1).value(1), QString("n:"));
    QVERIFY(sheets[0].centred);
}

void TestDialogBEC::emptyDatabaseGivesOnlyTheInitialSheet()
{
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(DialogBEC::ExportStage, boxes);

    QCOMPARE(run.statusAtEnd, QString("导出数据成功!"));
    const QList<WorkbookSheet> sheets = onlyWorkbook();
    QCOMPARE(titles(sheets), QStringList({"Sheet1"}));
    QVERIFY(sheets[0].rows.isEmpty());
}

void TestDialogBEC::exportBeginsWithTheAlarmLogUnderItsOwnTitle()
{
    store("报警记录", 1);
    store("A", 2);
    QCOMPARE(insertAlarms(AppContext::instance().path(RecordDb),
                          {makeAlarm("A", "2024-01-02 08:00:00", false, true),
                           makeAlarm("A", "2024-01-02 09:00:00", true)}),
             0);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(DialogBEC::ExportStage, boxes);

    QCOMPARE(run.statusAtEnd, QString("导出数据成功!"));
    const QList<WorkbookSheet> sheets = onlyWorkbook();
    QCOMPARE(titles(sheets), QStringList({"报警记录", "A", "报警记录(1)", "Sheet1"}));
    QVERIFY(sheets[0].centred);
    QCOMPARE(sheets[0].rows.size(), 3);
    QCOMPARE(sheets[0].rows[0].value(9), QString("s:确认时间"));
    QCOMPARE(sheets[0].rows[1].mid(0, 2), QStringList({"s:2024-01-02 09:00:00", "s:A"}));
    QCOMPARE(sheets[0].rows[1].value(8), QString("s:未解除"));
    QCOMPARE(sheets[0].rows[2].value(8), QString("s:2024-01-02 23:50:00"));
    QCOMPARE(sheets[2].rows.value(0), recordHeaderCells());
}

void TestDialogBEC::failedExportIsNotReportedAsSuccessAndTheRestFollows()
{
    store("A", 3);
    QVERIFY(QDir(AppContext::instance().path(ExportDir)).removeRecursively());
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run exportOnly(DialogBEC::ExportStage, boxes);
    QCOMPARE(exportOnly.statusAtEnd, QString("导出数据失败!"));
    QVERIFY(desktop.opened.isEmpty());

    // No copy of the records exists, so the clear stage keeps them; the closing box follows.
    const Run exportAndClear(DialogBEC::ExportStage | DialogBEC::ClearStage, boxes);
    QCOMPARE(exportAndClear.statusAtEnd, QString("数据未清除:备份和导出均未成功!"));
    QCOMPARE(boxes.boxes.size(), 2);
    QCOMPARE(boxes.boxes[1].text, QString("操作完成!\n失败：导出数据、清除数据"));
    QVERIFY(exportAndClear.closed);
    QCOMPARE(storedRows(), 3);
    QVERIFY(!QFileInfo::exists(AppContext::instance().path(ExportDir)));
}

void TestDialogBEC::workbookOfADamagedFileIsNamedPartial()
{
    store("A", 4000);
    store("B", 4000);
    {
        QFile file(AppContext::instance().path(RecordDb));
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 pages = file.size() / 4096;
        for (qint64 page = pages * 2 / 3; page < pages; page += 2) {
            QVERIFY(file.seek(page * 4096 + 1000));
            QVERIFY(file.write(QByteArray(64, '\x5a')) == 64);
        }
    }
    RecordMaintenance maintenance(database());
    QSignalSpy written(&maintenance, &RecordMaintenance::signal_fileWritten);
    QSignalSpy finished(&maintenance, &RecordMaintenance::signal_finished);
    maintenance.run(RecordMaintenance::ExportStage);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toInt(), int(RecordMaintenance::ExportStage));
    QCOMPARE(written.count(), 1);
    const QString path = written.at(0).at(0).toString();
    QVERIFY2(path.endsWith("_不完整.xlsx"), qPrintable(path));
    QCOMPARE(QDir(AppContext::instance().path(ExportDir)).entryList(QDir::Files),
             QStringList({QFileInfo(path).fileName()}));
    QVERIFY(!readWorkbook(path).isEmpty());
}

void TestDialogBEC::clearRunsOnlyWhenACopyWasMade()
{
    store("A", 3);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const QString exportDir = AppContext::instance().path(ExportDir);
    const QString backupDir = AppContext::instance().path(BackupDir);

    QVERIFY(QDir(exportDir).removeRecursively());
    QVERIFY(QDir(backupDir).removeRecursively());
    const Run neither(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage,
                      boxes);
    QCOMPARE(neither.statusAtEnd, QString("数据未清除:备份和导出均未成功!"));
    QCOMPARE(storedRows(), 3);

    // The backup alone keeps the records.
    QVERIFY(QDir().mkpath(backupDir));
    const Run backupOnly(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage,
                         boxes);
    QCOMPARE(backupOnly.statusAtEnd, QString("清除数据成功!"));
    QCOMPARE(storedRows(), 0);
    QCOMPARE(QDir(backupDir).entryList(QDir::Files).size(), 1);

    // So does the export alone.
    store("A", 3);
    QVERIFY(QDir(backupDir).removeRecursively());
    QVERIFY(QDir().mkpath(exportDir));
    const Run exportOnly(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage,
                         boxes);
    QCOMPARE(exportOnly.statusAtEnd, QString("清除数据成功!"));
    QCOMPARE(storedRows(), 0);
    // The header row and the three records.
    QCOMPARE(readWorkbook(exportDir + QDir(exportDir).entryList(QDir::Files)[0])[0].rows.size(),
             4);
}

void TestDialogBEC::stagesRunOnAWorkerAndNeverClearRowsStoredMeanwhile()
{
    store("A", 15000);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    std::atomic<bool> stop{false};
    std::atomic<int> written{0};
    std::atomic<int> refusals{0};
    // A record writer of its own, holding a refused row until the database takes it; the
    // second name first appears while the stages run.
    std::thread writer([&] {
        for (int i = 0; !stop; ++i) {
            RecordRow row = makeRow(i % 2 ? "新" : "A", 0, 10000 + i);
            row.value = "w" + std::to_string(i);
            while (database()->insert(row) != 0) {
                if (++refusals > 100000)
                    return;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            ++written;
        }
    });
    // What a 10 ms timer on this thread sees while the stages run.
    QStringList seen;
    int ticksInSheet = 0;
    const Run run(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage, boxes,
                  [&](DialogBEC &dialog) {
                      const QString text = dialog.findChild<QLabel *>("labelProgress")->text();
                      if (seen.isEmpty() || seen.last() != text)
                          seen << text;
                      ticksInSheet += text == "开始导出数据:A";
                  });
    // Some rows after the clear too.
    const int afterRun = written;
    QTRY_VERIFY(written >= afterRun + 5);
    stop = true;
    writer.join();

    QVERIFY(run.closed);
    QCOMPARE(run.statusAtEnd, QString("清除数据成功!"));
    QVERIFY(refusals < 100000);
    QVERIFY2(ticksInSheet >= 1, qPrintable(seen.join(',')));
    // Whatever the timer caught came in the stages' order; the last tick may see the text the
    // dialog ends with.
    const QStringList order = {"无操作", "开始备份数据", "备份数据成功!", "开始导出数据", "开始导出数据:A",
                               "开始导出数据:新", "导出数据成功!", "开始清除数据", "清除数据成功!",
                               "无操作"};
    int at = 0;
    for (const QString &text : seen) {
        at = order.indexOf(text, at);
        QVERIFY2(at >= 0, qPrintable(seen.join(',')));
    }
    const QString backupDir = AppContext::instance().path(BackupDir);
    const QSet<QString> backup =
        storedRecords(backupDir + QDir(backupDir).entryList(QDir::Files).value(0));
    const QStringList files = exportedFiles();
    QCOMPARE(files.size(), 1);
    const QSet<QString> exported =
        exportedRecords(AppContext::instance().path(ExportDir) + files[0]);
    const QSet<QString> table = storedRecords(AppContext::instance().path(RecordDb));
    QStringList lost;
    for (int i = 0; i < 15000; ++i) {
        const QString key = "A/" + QString::number(i);
        if (!backup.contains(key) || !exported.contains(key))
            lost << key;
        QVERIFY2(!table.contains(key), "a copied row was not cleared");
    }
    for (int i = 0; i < written; ++i) {
        const QString key = QString(i % 2 ? "新" : "A") + "/w" + QString::number(i);
        if (!backup.contains(key) && !exported.contains(key) && !table.contains(key))
            lost << key;
    }
    QVERIFY2(lost.isEmpty(), qPrintable(lost.mid(0, 10).join(',')));
    QVERIFY(table.size() >= 5);
}

void TestDialogBEC::closingIsRefusedWhileTheStagesRun()
{
    store("A", 20000);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogBEC dialog(nullptr, DialogBEC::ExportStage);
    QSignalSpy done(&dialog, &DialogBEC::signal_stagesDone);
    dialog.show();
    dialog.start();
    dialog.start(); // the stages run once
    QVERIFY(!dialog.close());
    QTest::keyClick(&dialog, Qt::Key_Escape);
    dialog.reject();
    QVERIFY(dialog.isVisible());
    QVERIFY(done.wait(120000));
    QVERIFY(dialog.isHidden());
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(exportedFiles().size(), 1);

    // Gone while running: the worker stops and leaves no workbook behind.
    QVERIFY(QDir(AppContext::instance().path(ExportDir)).removeRecursively());
    QVERIFY(QDir().mkpath(AppContext::instance().path(ExportDir)));
    {
        DialogBEC running(nullptr, DialogBEC::ExportStage | DialogBEC::ClearStage);
        running.show();
        running.start();
        QTRY_VERIFY(
            running.findChild<QLabel *>("labelProgress")->text().startsWith("开始导出数据"));
    }
    // Stopped: no workbook and every row kept; or, had the stages won the race, all of it.
    const QStringList files = exportedFiles();
    if (files.isEmpty()) {
        QCOMPARE(storedRows(), 20000);
    } else {
        QCOMPARE(
            readWorkbook(AppContext::instance().path(ExportDir) + files[0]).value(0).rows.size(),
            20001);
    }
}

void TestDialogBEC::closingBoxNamesTheStagesThatFailed_data()
{
    QTest::addColumn<int>("mask");
    QTest::addColumn<bool>("backupFolder");
    QTest::addColumn<bool>("exportFolder");
    QTest::addColumn<QString>("text");
    const int all = DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage;
    QTest::newRow("backup") << all << false << true << "操作完成!\n失败：备份数据";
    QTest::newRow("export, the clear run all the same")
        << all << true << false
        << "操作完成!\n失败：导出数据\n导出失败后仍清除了数据：已清除的记录只保存在备份 %1 中。";
    QTest::newRow("every copy, so no clear")
        << all << false << false << "操作完成!\n失败：备份数据、导出数据、清除数据";
    QTest::newRow("export alone") << int(DialogBEC::ExportStage) << true << false
                                  << "操作完成!\n失败：导出数据";
    QTest::newRow("backup before a clear")
        << int(DialogBEC::BackupStage | DialogBEC::ClearStage) << false << true
        << "操作完成!\n失败：备份数据、清除数据";
    QTest::newRow("none") << all << true << true << "操作完成!";
}

void TestDialogBEC::closingBoxNamesTheStagesThatFailed()
{
    QFETCH(int, mask);
    QFETCH(bool, backupFolder);
    QFETCH(bool, exportFolder);
    QFETCH(QString, text);
    store("A", 3);
    if (!backupFolder)
        QVERIFY(QDir(AppContext::instance().path(BackupDir)).removeRecursively());
    if (!exportFolder)
        QVERIFY(QDir(AppContext::instance().path(ExportDir)).removeRecursively());
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const Run run(mask, boxes);

    QVERIFY(run.closed);
    QCOMPARE(boxes.boxes.size(), 1);
    if (text.contains("%1"))
        text = text.arg(onlyBackup(AppContext::instance().path(BackupDir)));
    QCOMPARE(boxes.boxes[0].text, text);
    const bool cleared = (mask & DialogBEC::ClearStage) && !text.contains("、清除数据");
    QCOMPARE(storedRows(), cleared ? 0 : 3);
    const bool failed = text.contains("失败");
    QCOMPARE(boxes.boxes[0].icon, failed ? QMessageBox::Critical : QMessageBox::Information);
    QCOMPARE(boxes.boxes[0].title, QString(failed ? "错误" : "通知"));
}

void TestDialogBEC::exportCutShortByAFullDiskFailsAndKeepsTheRecords()
{
    store("A", 3000);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    // Files of this process stop growing at 256 KiB, as on a disk that fills up: the records'
    // database does not need to grow, the workbook's files do.
    rlimit size;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &size), 0);
    const rlimit unlimited = size;
    size.rlim_cur = 256 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &size), 0);
    const Run run(DialogBEC::ExportStage | DialogBEC::ClearStage, boxes);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(run.closed);
    QCOMPARE(run.statusAtEnd, QString("数据未清除:备份和导出均未成功!"));
    QCOMPARE(storedRows(), 3000);
    QCOMPARE(boxes.boxes.value(0).text, QString("操作完成!\n失败：导出数据、清除数据"));
    QVERIFY(desktop.opened.isEmpty());
    QCOMPARE(QDir(AppContext::instance().path(ExportDir))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
}

void TestDialogBEC::runsLeaveNoFileOpen()
{
    store("A", 300);
    store("B", 3);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    const QStringList before = openFiles();
    for (int i = 0; i < 4; ++i)
        Run(DialogBEC::ExportStage, boxes);
    // One cut short by going while its export runs.
    {
        DialogBEC running(nullptr, DialogBEC::ExportStage);
        running.show();
        running.start();
        QTRY_VERIFY(
            running.findChild<QLabel *>("labelProgress")->text().startsWith("开始导出数据"));
    }
    QCOMPARE(openFiles(), before);
    QCOMPARE(boxes.boxes.size(), 4);
}

QTEST_MAIN(TestDialogBEC)
#include "tst_dialogbec.moc"
