#include "app/appcontext.h"
#include "history/dialogsearch.h"
#include "history/excelwriter.h"
#include "history/recordresultmodel.h"
#include "history/recordsearch.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "testsupport.h"
#include "trend/historychart.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

class TestDialogSearch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void opensIdleWithNamesChannelsAndDefaultRange();
    void searchFiltersByTimeNameAndChannel_data();
    void searchFiltersByTimeNameAndChannel();
    void searchWithoutResultLeavesNothingToExport();
    void exportWritesTheTableOpensTheFolderAndTellsWhere();
    void laterExportsGetNumberedNamesAndFollowTheDateEdits();
    void unsafeNamesStayInsideTheExportFolder();
    void failedExportShowsAnErrorAndReturnsToIdle();
    void closingDuringAnExportLeavesNoHalfWrittenFile_data();
    void closingDuringAnExportLeavesNoHalfWrittenFile();
    void recordsAreStoredWhileALongSearchRuns();
    void stoppedSearchKeepsWhatItFoundAndReturnsToIdle();
    void failedSearchReportsTheRowsFoundBeforeTheFailure();
    void searchOfADamagedFileAndItsExportSayTheyArePartial();
    void closingDuringASearchStopsIt();
    void exportOfAStreamedResultEqualsTheQuery();
    void chartShowsTheFoundValuesOfTheChosenInstrumentAndFactor();

private:
    std::unique_ptr<TempStation> station;
};

namespace {

const QString allRange = QStringLiteral("20200101000000_20990101000000");

RecordRow makeRow(const std::string &name, int channel, const std::string &time)
{
    RecordRow row = makeRecord(name, channel, time);
    if (name == "B")
        row.slave = 7;
    return row;
}

// Names B and A, channels 0 and 1, at 08:00:00 and 09:00:00 on 2024-01-02 and 2024-03-04.
void storeSample()
{
    std::vector<RecordRow> rows;
    for (const char *name : {"B", "A"})
        for (const char *time : {"2024-01-02 08:00:00", "2024-03-04 09:00:00"})
            for (int channel : {0, 1})
                rows.push_back(makeRow(name, channel, time));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
}

struct Form
{
    explicit Form(DialogSearch &dialog)
        : name(dialog.findChild<QComboBox *>("comboBoxName")),
          channel(dialog.findChild<QComboBox *>("comboBoxChannel")),
          start(dialog.findChild<QDateTimeEdit *>("dateTimeEditStart")),
          end(dialog.findChild<QDateTimeEdit *>("dateTimeEditEnd")),
          search(dialog.findChild<QPushButton *>("pushButtonSearch")),
          stop(dialog.findChild<QPushButton *>("pushButtonStop")),
          exportButton(dialog.findChild<QPushButton *>("pushButtonExport")),
          result(dialog.findChild<QLabel *>("labelSearchResult")),
          progress(dialog.findChild<QProgressBar *>("progressBarExport")),
          table(dialog.findChild<QTableView *>("tableViewResult")),
          tabs(dialog.findChild<QTabWidget *>("tabWidgetResult")),
          chartName(dialog.findChild<QComboBox *>("comboBoxChartName")),
          chartFactor(dialog.findChild<QComboBox *>("comboBoxChartFactor")),
          chart(dialog.findChild<HistoryChart *>("widgetChart"))
    {
    }
    bool idle() const { return search->isEnabled() && exportButton->isEnabled(); }
    int rows() const { return table->model()->rowCount(); }
    QStringList row(int r) const
    {
        QStringList texts;
        for (int c = 0; c < table->model()->columnCount(); ++c)
            texts << table->model()->index(r, c).data().toString();
        return texts;
    }
    // The stored names arrive from the search thread.
    bool namesListed(int names) const
    {
        return QTest::qWaitFor([&] { return name->count() == names + 1; }, 10000);
    }
    bool searchAndWait() const
    {
        search->click();
        return QTest::qWaitFor([&] { return idle(); }, 120000);
    }

    QComboBox *name;
    QComboBox *channel;
    QDateTimeEdit *start;
    QDateTimeEdit *end;
    QPushButton *search;
    QPushButton *stop;
    QPushButton *exportButton;
    QLabel *result;
    QProgressBar *progress;
    QTableView *table;
    QTabWidget *tabs;
    QComboBox *chartName;
    QComboBox *chartFactor;
    HistoryChart *chart;
};

RecordDatabase *database()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

QString timeAfter(const QDateTime &from, int seconds)
{
    return from.addSecs(seconds).toString("yyyy-MM-dd hh:mm:ss");
}

// count rows from 2024-01-01 on, one second apart, of instruments A and B on channels 0 and 1.
void storeMany(int count)
{
    std::vector<RecordRow> rows;
    rows.reserve(size_t(count));
    const QDateTime from(QDate(2024, 1, 1), QTime(0, 0));
    for (int i = 0; i < count; ++i)
        rows.push_back(makeRow(i % 4 < 2 ? "A" : "B", i % 2, timeAfter(from, i).toStdString()));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
}

// The nine texts of every row the station's own query lists for condition.
QList<QStringList> queried(const std::string &condition)
{
    std::vector<RecordRow *> rows;
    database()->query(condition, rows);
    QList<QStringList> texts;
    for (const RecordRow *row : rows)
        texts << QStringList{
            QString::fromStdString(row->time),  QString::fromStdString(row->name),
            QString::fromStdString(row->model), QString::number(row->slave),
            QString::number(row->channel),      QString::fromStdString(row->factor),
            QString::fromStdString(row->value), QString::fromStdString(row->unit),
            QString::fromStdString(row->status)};
    RecordDatabase::freeRows(rows);
    return texts;
}

QString exportFolder()
{
    return AppContext::instance().path(ExportDir);
}

QStringList exportedFiles()
{
    return QDir(exportFolder()).entryList(QDir::Files, QDir::Name);
}

// The workbook's rows as the table shows them, header first.
QList<QStringList> tableAsWorkbookRows(const Form &form)
{
    QList<QStringList> rows{recordHeaderCells()};
    for (int r = 0; r < form.rows(); ++r)
        rows << recordCells(form.row(r));
    return rows;
}

} // namespace

void TestDialogSearch::init()
{
    station = std::make_unique<TempStation>();
    QCOMPARE(AppContext::instance().init(), 0);
}

void TestDialogSearch::cleanup()
{
    station.reset();
}

void TestDialogSearch::opensIdleWithNamesChannelsAndDefaultRange()
{
    storeSample();
    DialogSearch dialog;
    const Form form(dialog);
    QCOMPARE(dialog.windowTitle(), QString("记录查询"));
    QCOMPARE(dialog.size(), QSize(800, 600));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QVERIFY(form.namesListed(2));
    QStringList names;
    for (int i = 0; i < form.name->count(); ++i)
        names << form.name->itemText(i);
    QCOMPARE(names, QStringList({"所有", "A", "B"}));
    QCOMPARE(form.channel->count(), 9);
    QCOMPARE(form.channel->itemText(0), QString("所有"));
    QCOMPARE(form.channel->itemText(8), QString("7"));
    QCOMPARE(form.start->dateTime(), QDateTime(QDate(2020, 1, 1), QTime(0, 0)));
    QCOMPARE(form.end->dateTime(), QDateTime(QDate(2099, 1, 1), QTime(0, 0)));
    QCOMPARE(form.start->displayFormat(), QString("yyyy-MM-dd HH:mm:ss"));
    QVERIFY(form.progress->isHidden());
    QVERIFY(form.idle());
    QCOMPARE(form.result->text(), QString("无查询结果"));
    QVERIFY(form.stop->isHidden());
    QCOMPARE(form.table->model()->columnCount(), 9);
    QCOMPARE(form.table->model()->headerData(4, Qt::Horizontal).toString(), QString("通道"));
    QCOMPARE(form.table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(form.table->verticalHeader()->isHidden());
    QCOMPARE(form.table->horizontalHeader()->styleSheet(),
             QString("QHeaderView::section{background:lightblue;}"));
    QCOMPARE(form.tabs->count(), 2);
    QCOMPARE(form.tabs->tabText(0), QString("记录"));
    QCOMPARE(form.tabs->tabText(1), QString("曲线"));
    QCOMPARE(form.tabs->geometry(), QRect(20, 120, 771, 451));
}

void TestDialogSearch::searchFiltersByTimeNameAndChannel_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("channel");
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<QStringList>("found");
    const QDateTime from2020(QDate(2020, 1, 1), QTime(0, 0));
    // Each found row as name/channel/time; sorted by name, channel, then newest first.
    QTest::newRow("all") << "所有"
                         << "所有" << from2020
                         << QStringList({"A/0/2024-03-04 09:00:00", "A/0/2024-01-02 08:00:00",
                                         "A/1/2024-03-04 09:00:00", "A/1/2024-01-02 08:00:00",
                                         "B/0/2024-03-04 09:00:00", "B/0/2024-01-02 08:00:00",
                                         "B/1/2024-03-04 09:00:00", "B/1/2024-01-02 08:00:00"});
    QTest::newRow("name") << "B"
                          << "所有" << from2020
                          << QStringList({"B/0/2024-03-04 09:00:00", "B/0/2024-01-02 08:00:00",
                                          "B/1/2024-03-04 09:00:00", "B/1/2024-01-02 08:00:00"});
    QTest::newRow("channel") << "所有"
                             << "1" << from2020
                             << QStringList({"A/1/2024-03-04 09:00:00", "A/1/2024-01-02 08:00:00",
                                             "B/1/2024-03-04 09:00:00", "B/1/2024-01-02 08:00:00"});
    QTest::newRow("all three") << "A"
                               << "0" << QDateTime(QDate(2024, 3, 4), QTime(9, 0))
                               << QStringList({"A/0/2024-03-04 09:00:00"});
}

void TestDialogSearch::searchFiltersByTimeNameAndChannel()
{
    QFETCH(QString, name);
    QFETCH(QString, channel);
    QFETCH(QDateTime, start);
    QFETCH(QStringList, found);
    storeSample();
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.namesListed(2));
    form.name->setCurrentText(name);
    form.channel->setCurrentText(channel);
    form.start->setDateTime(start);
    QVERIFY(form.searchAndWait());

    QStringList shown;
    for (int r = 0; r < form.rows(); ++r) {
        const QStringList texts = form.row(r);
        shown << texts[1] + "/" + texts[4] + "/" + texts[0];
        QCOMPARE(form.table->model()->index(r, 0).data(Qt::TextAlignmentRole).toInt(),
                 int(Qt::AlignCenter));
    }
    QCOMPARE(shown, found);
    const QStringList first = form.row(0);
    QCOMPARE(first.mid(2),
             QStringList({"DI590", first[1] == "B" ? "7" : "3", first[4],
                          first[4] == "0" ? "DO" : "Temper", first[4] == "0" ? "8.25" : "21.4",
                          first[4] == "0" ? "mg/L" : "℃", "N"}));
    QCOMPARE(form.result->text(), QString("查询完毕，共%1条记录").arg(found.size()));
    QCOMPARE(form.table->property("search_name").toString(), name);
    QCOMPARE(form.table->horizontalHeader()->sectionResizeMode(0), QHeaderView::ResizeToContents);
    QCOMPARE(form.table->horizontalHeader()->sectionResizeMode(1), QHeaderView::Stretch);
    QVERIFY(form.progress->isHidden());
    QVERIFY(form.stop->isHidden());
    QVERIFY(form.idle());
}

void TestDialogSearch::searchWithoutResultLeavesNothingToExport()
{
    storeSample();
    MessageBoxRecorder boxes;
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    form.start->setDateTime(QDateTime(QDate(2030, 1, 1), QTime(0, 0)));
    QVERIFY(form.searchAndWait());

    QCOMPARE(form.rows(), 0);
    QCOMPARE(form.result->text(), QString("查询完毕，共0条记录"));
    QCOMPARE(form.table->horizontalHeader()->sectionResizeMode(0), QHeaderView::Stretch);
    form.exportButton->click();
    QCoreApplication::processEvents();
    QVERIFY(boxes.boxes.isEmpty());
    QVERIFY(exportedFiles().isEmpty());
    QVERIFY(form.idle());
    QVERIFY(form.progress->isHidden());
}

void TestDialogSearch::exportWritesTheTableOpensTheFolderAndTellsWhere()
{
    storeSample();
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    form.exportButton->click();
    QVERIFY(!form.idle());
    QVERIFY(!form.progress->isHidden());
    QCOMPARE(form.progress->maximum(), 9);
    QTRY_COMPARE(boxes.boxes.size(), 1);

    const QString path = exportFolder() + "所有_" + allRange + ".xlsx";
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(boxes.boxes[0].title, QString("通知"));
    QCOMPARE(boxes.boxes[0].text, "记录保存至:\n" + path);
    QCOMPARE(desktop.opened, QStringList({QDir(exportFolder()).absolutePath()}));
    QVERIFY(form.idle());
    QVERIFY(form.progress->isHidden());
    const QList<WorkbookSheet> sheets = readWorkbook(path);
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].title, QString("Sheet1"));
    QVERIFY(sheets[0].centred);
    QCOMPARE(sheets[0].rows, tableAsWorkbookRows(form));
}

void TestDialogSearch::laterExportsGetNumberedNamesAndFollowTheDateEdits()
{
    storeSample();
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.namesListed(2));
    form.name->setCurrentText("B");
    QVERIFY(form.searchAndWait());
    for (int i = 1; i <= 3; ++i) {
        form.exportButton->click();
        QTRY_COMPARE(boxes.boxes.size(), i);
    }
    // A new end time names the file but does not search again.
    form.end->setDateTime(QDateTime(QDate(2024, 2, 1), QTime(12, 30, 5)));
    form.exportButton->click();
    QTRY_COMPARE(boxes.boxes.size(), 4);

    QCOMPARE(exportedFiles(),
             QStringList({"B_20200101000000_20240201123005.xlsx", "B_" + allRange + "(1).xlsx",
                          "B_" + allRange + "(2).xlsx", "B_" + allRange + ".xlsx"}));
    const QList<WorkbookSheet> sheets =
        readWorkbook(exportFolder() + "B_20200101000000_20240201123005.xlsx");
    QCOMPARE(sheets.value(0).rows.size(), 5);
    QCOMPARE(sheets[0].rows, tableAsWorkbookRows(form));
}

void TestDialogSearch::unsafeNamesStayInsideTheExportFolder()
{
    std::vector<RecordRow> rows{makeRow("../x", 0, "2024-01-02 08:00:00"),
                                makeRow("a/b", 0, "2024-01-02 08:00:00")};
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.namesListed(2));
    for (const QString name : {"../x", "a/b"}) {
        form.name->setCurrentText(name);
        QVERIFY(form.searchAndWait());
        QCOMPARE(form.rows(), 1);
        form.exportButton->click();
        QTRY_VERIFY(form.idle());
    }
    QCOMPARE(boxes.boxes.size(), 2);
    QCOMPARE(exportedFiles(), QStringList({"ab_" + allRange + ".xlsx", "x_" + allRange + ".xlsx"}));
    QStringList files = QDir(station->path()).entryList(QDir::Files);
    files.removeOne("hydrovane.accounts");
    QCOMPARE(files, QStringList({"hydrovane.lock"}));
    QCOMPARE(
        readWorkbook(exportFolder() + "x_" + allRange + ".xlsx").value(0).rows.value(1).value(1),
        QString("s:../x"));
}

void TestDialogSearch::failedExportShowsAnErrorAndReturnsToIdle()
{
    storeSample();
    QVERIFY(QDir(exportFolder()).removeRecursively());
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    form.exportButton->click();
    QTRY_COMPARE(boxes.boxes.size(), 1);

    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(boxes.boxes[0].title, QString("错误"));
    QCOMPARE(boxes.boxes[0].text,
             "记录保存失败:\n" + exportFolder() + "所有_" + allRange + ".xlsx");
    QVERIFY(desktop.opened.isEmpty());
    QVERIFY(form.idle());
    QVERIFY(form.progress->isHidden());
    QVERIFY(!QFileInfo::exists(exportFolder()));
}

void TestDialogSearch::closingDuringAnExportLeavesNoHalfWrittenFile_data()
{
    QTest::addColumn<bool>("whileWriting");
    QTest::newRow("before the write starts") << false;
    QTest::newRow("while rows are written") << true;
}

void TestDialogSearch::closingDuringAnExportLeavesNoHalfWrittenFile()
{
    QFETCH(bool, whileWriting);
    storeMany(20000);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    auto dialog = std::make_unique<DialogSearch>();
    const Form form(*dialog);
    QVERIFY(form.searchAndWait());
    QCOMPARE(form.rows(), 20000);
    form.exportButton->click();
    if (whileWriting)
        QTRY_VERIFY(form.progress->value() > 0);
    dialog.reset();
    ExcelWriter::waitForRetired();

    // Cancelled, unless it was saving already: then the whole workbook.
    const QStringList files = exportedFiles();
    if (!whileWriting || files.isEmpty()) {
        QCOMPARE(files, QStringList());
    } else {
        QCOMPARE(files, QStringList({"所有_" + allRange + ".xlsx"}));
        QCOMPARE(readWorkbook(exportFolder() + files[0]).value(0).rows.size(), 20001);
    }
    QVERIFY(boxes.boxes.isEmpty());
}

void TestDialogSearch::recordsAreStoredWhileALongSearchRuns()
{
    const int rows = 200000;
    storeMany(rows);
    DialogSearch dialog;
    const Form form(dialog);
    // Rows stored meanwhile fall outside the searched range.
    form.end->setDateTime(QDateTime(QDate(2025, 1, 1), QTime(0, 0)));
    std::atomic<bool> reading{false};
    std::atomic<bool> searched{false};
    connect(dialog.searchWorker(), &RecordSearch::signal_rows, [&] { reading = true; });
    connect(dialog.searchWorker(), &RecordSearch::signal_searchDone, [&] { searched = true; });
    std::atomic<bool> finish{false};
    std::atomic<int> stored{0};
    std::atomic<int> storedWhileReading{0};
    std::atomic<int> failed{0};
    // A record writer's thread, storing readings as fast as the database takes them.
    std::thread writer([&] {
        const QDateTime from(QDate(2026, 1, 1), QTime(0, 0));
        for (int i = 0; !finish; ++i) {
            const bool during = reading && !searched;
            // A row that met a page being read is held and tried again, as RecordWriter does.
            if (database()->insert(makeRow("W", 0, timeAfter(from, i).toStdString())) != 0) {
                ++failed;
                --i;
                continue;
            }
            ++stored;
            // Started and ended while the search was reading.
            if (during && !searched)
                ++storedWhileReading;
        }
    });
    // The progress bar moves while the rows come.
    QList<int> progress;
    connect(form.progress, &QProgressBar::valueChanged, form.progress,
            [&](int value) { progress << value; });
    const bool done = form.searchAndWait();
    finish = true;
    writer.join();

    QVERIFY(done);
    QCOMPARE(form.rows(), rows);
    QCOMPARE(form.result->text(), QString("查询完毕，共%1条记录").arg(rows));
    // The writer got through between the pages, not only after the search.
    QVERIFY2(storedWhileReading >= 3, qPrintable(QStringLiteral("%1 stored while reading, %2 refused")
                                                     .arg(storedWhileReading)
                                                     .arg(failed)));
    QVERIFY2(std::any_of(progress.begin(), progress.end(), [](int v) { return v > 0 && v < 1000; }),
             qPrintable(QString::number(progress.size())));
    QCOMPARE(selectWithKey(AppContext::instance().path(RecordDb),
                           "SELECT count(*) FROM Record WHERE name = 'W'"),
             QStringList({QString::number(stored)}));
}

void TestDialogSearch::stoppedSearchKeepsWhatItFoundAndReturnsToIdle()
{
    const int rows = 200000;
    storeMany(rows);
    DialogSearch dialog;
    const Form form(dialog);
    // Stopped as soon as the first rows are in.
    const QMetaObject::Connection stopAtFirstRows =
        connect(form.table->model(), &QAbstractItemModel::rowsInserted, form.stop, [&] {
            if (!form.stop->isHidden() && form.stop->isEnabled())
                form.stop->click();
        });
    form.search->click();
    QVERIFY(form.search->isHidden());
    QVERIFY(!form.stop->isHidden());
    QVERIFY(QTest::qWaitFor([&] { return form.idle(); }, 60000));

    const int found = form.rows();
    QVERIFY(found > 0);
    QVERIFY2(found < rows, "the search ran to its end");
    QCOMPARE(form.result->text(), QString("查询已停止，共%1条记录").arg(found));
    QVERIFY(form.stop->isHidden());
    QVERIFY(!form.search->isHidden());
    QVERIFY(form.progress->isHidden());
    // What was found is in listing order.
    for (int r = 1; r < found; ++r) {
        const QStringList before = form.row(r - 1);
        const QStringList after = form.row(r);
        const auto key = [](const QStringList &row) { return row[1] + "/" + row[4]; };
        QVERIFY(key(before) < key(after) || (key(before) == key(after) && before[0] > after[0]));
    }

    // The next search is not stopped by the last one's stop.
    disconnect(stopAtFirstRows);
    QVERIFY(form.searchAndWait());
    QCOMPARE(form.rows(), rows);
    QCOMPARE(form.result->text(), QString("查询完毕，共%1条记录").arg(rows));
}

void TestDialogSearch::failedSearchReportsTheRowsFoundBeforeTheFailure()
{
    const int rows = 200000;
    storeMany(rows);
    DialogSearch dialog;
    const Form form(dialog);
    // The file turns unreadable as soon as the first rows are in.
    bool damaged = false;
    connect(form.table->model(), &QAbstractItemModel::rowsInserted, form.stop, [&] {
        if (damaged)
            return;
        damaged = true;
        QFile file(AppContext::instance().path(RecordDb));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.write(QByteArray(int(file.size()), '\0')) == file.size());
    });
    QVERIFY(form.searchAndWait());

    const int found = form.rows();
    QVERIFY(found > 0);
    QVERIFY2(found < rows, "the search ran to its end");
    QVERIFY2(QRegularExpression(QString("^查询出错，已找到%1条记录（.+）$").arg(found))
                 .match(form.result->text())
                 .hasMatch(),
             qPrintable(form.result->text()));
    QVERIFY(form.progress->isHidden());
    QVERIFY(form.stop->isHidden());
}

void TestDialogSearch::searchOfADamagedFileAndItsExportSayTheyArePartial()
{
    const int rows = 20066;
    storeMany(rows);
    // Pages of the last third of the file spoilt, as a bad sector would: the first rows read.
    {
        QFile file(AppContext::instance().path(RecordDb));
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 pages = file.size() / 4096;
        QVERIFY(pages > 30);
        for (qint64 page = pages * 2 / 3; page < pages; page += 2) {
            QVERIFY(file.seek(page * 4096 + 1000));
            QVERIFY(file.write(QByteArray(64, '\x5a')) == 64);
        }
    }
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogSearch dialog;
    const Form form(dialog);
    form.tabs->setCurrentWidget(form.tabs->widget(1));
    QVERIFY(form.searchAndWait());
    const int found = form.rows();
    QVERIFY2(found > 0 && found < rows, qPrintable(QString::number(found)));
    QCOMPARE(form.result->text(),
             QString("查询出错，已找到%1条记录（数据库文件已损坏）").arg(found));
    QVERIFY(form.chart->xAxis->label().contains("只有部分记录"));

    form.exportButton->click();
    QTRY_COMPARE(boxes.boxes.size(), 1);
    const QString path = exportFolder() + "所有_" + allRange + "_不完整.xlsx";
    QCOMPARE(boxes.boxes[0].text,
             "记录保存至:\n" + path + "\n查询出错，文件中只有出错前找到的部分记录。");
    QCOMPARE(exportedFiles(), QStringList({"所有_" + allRange + "_不完整.xlsx"}));
    const QList<WorkbookSheet> sheets = readWorkbook(path);
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].rows.size(), found + 1);

    // A search that reads everything is whole again: an empty range before the damage.
    form.end->setDateTime(QDateTime(QDate(2024, 1, 1), QTime(0, 0, 9)));
    QVERIFY(form.searchAndWait());
    QCOMPARE(form.result->text(), QString("查询完毕，共10条记录"));
    QCOMPARE(form.chart->xAxis->label(), QString("时间"));
}

void TestDialogSearch::closingDuringASearchStopsIt()
{
    const int rows = 200000;
    storeMany(rows);
    auto dialog = std::make_unique<DialogSearch>();
    const Form form(*dialog);
    QSignalSpy done(dialog->searchWorker(), &RecordSearch::signal_searchDone);
    form.search->click();
    QTRY_VERIFY(form.rows() > 0);
    dialog.reset();

    QCOMPARE(done.count(), 1);
    QCOMPARE(done.at(0).at(1).toInt(), int(RecordReader::Cancelled));
    // The next dialog searches as usual.
    DialogSearch next;
    const Form again(next);
    QVERIFY(again.searchAndWait());
    QCOMPARE(again.rows(), rows);
}

void TestDialogSearch::exportOfAStreamedResultEqualsTheQuery()
{
    // Equal times within one instrument and channel, and times stored out of order.
    std::vector<RecordRow> rows;
    const QDateTime from(QDate(2024, 1, 1), QTime(0, 0));
    for (int i = 0; i < 3000; ++i) {
        RecordRow row = makeRow(i % 3 == 0 ? "B" : "A", i % 2,
                                timeAfter(from, (i * 7919) % 1500).toStdString());
        row.value = std::to_string(i);
        rows.push_back(row);
    }
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogSearch dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    form.exportButton->click();
    QTRY_COMPARE(boxes.boxes.size(), 1);

    std::string condition;
    RecordDatabase::appendTimeCondition(condition, "2020-01-01 00:00:00", "2099-01-01 00:00:00",
                                        true);
    QList<QStringList> expected{recordHeaderCells()};
    for (const QStringList &row : queried(condition))
        expected << recordCells(row);
    QCOMPARE(expected.size(), 3001);
    QCOMPARE(readWorkbook(exportFolder() + "所有_" + allRange + ".xlsx").value(0).rows, expected);
}

void TestDialogSearch::chartShowsTheFoundValuesOfTheChosenInstrumentAndFactor()
{
    std::vector<RecordRow> rows;
    const QDateTime from(QDate(2024, 1, 2), QTime(3, 4, 5));
    for (int i = 0; i < 40; ++i) {
        RecordRow row =
            makeRow(i % 4 < 2 ? "A" : "B", i % 2, timeAfter(from, i * 60).toStdString());
        row.value = QString::number(i * 0.5, 'f', 2).toStdString();
        row.status = i == 8 ? "B" : i == 12 ? "F" : "N";
        rows.push_back(row);
    }
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    DialogSearch dialog;
    const Form form(dialog);
    QSignalSpy shown(&dialog, &DialogSearch::signal_chartShown);
    QVERIFY(form.searchAndWait());
    // Made only when the chart is looked at.
    QCoreApplication::processEvents();
    QCOMPARE(shown.count(), 0);
    form.tabs->setCurrentIndex(1);
    QTRY_COMPARE(shown.count(), 1);

    QStringList names;
    for (int i = 0; i < form.chartName->count(); ++i)
        names << form.chartName->itemText(i);
    QCOMPARE(names, QStringList({"A", "B"}));
    QCOMPARE(form.chartFactor->count(), 2);
    QCOMPARE(form.chartFactor->currentText(), QString("DO"));

    for (const QString factor : {"DO", "Temper"}) {
        if (form.chartFactor->currentText() != factor) {
            form.chartFactor->setCurrentText(factor);
            QTRY_COMPARE(form.chart->series().factor, factor);
        }
        // The query's rows of A and the factor, oldest first.
        std::string condition;
        RecordDatabase::appendNameCondition(condition, "A", true);
        QList<QPair<QString, QString>> expected;
        for (const QStringList &row : queried(condition))
            if (row[5] == factor)
                expected.prepend({row[0], row[8] == "N" ? row[6] : QString("nan")});
        const QSharedPointer<QCPGraphDataContainer> points = form.chart->series().points;
        QCOMPARE(points->size(), expected.size());
        QList<QPair<QString, QString>> plotted;
        for (auto point = points->constBegin(); point != points->constEnd(); ++point)
            plotted.append({QDateTime::fromSecsSinceEpoch(qint64(point->key), Qt::UTC)
                                .toString("yyyy-MM-dd hh:mm:ss"),
                            std::isnan(point->value) ? QString("nan")
                                                     : QString::number(point->value, 'f', 2)});
        QCOMPARE(plotted, expected);
    }
}

QTEST_MAIN(TestDialogSearch)
#include "tst_dialogsearch.moc"
