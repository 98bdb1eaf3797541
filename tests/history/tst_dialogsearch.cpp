#include "app/appcontext.h"
#include "history/dialogsearch.h"
#include "storage/recorddatabase.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

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
    void closingDuringAnExportWaitsForTheFile();

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
          exportButton(dialog.findChild<QPushButton *>("pushButtonExport")),
          result(dialog.findChild<QLabel *>("labelSearchResult")),
          progress(dialog.findChild<QProgressBar *>("progressBarExport")),
          table(dialog.findChild<QTableWidget *>("tableWidgetResult"))
    {
    }
    bool idle() const { return search->isEnabled() && exportButton->isEnabled(); }
    QStringList row(int r) const
    {
        QStringList texts;
        for (int c = 0; c < table->columnCount(); ++c)
            texts << table->item(r, c)->text();
        return texts;
    }

    QComboBox *name;
    QComboBox *channel;
    QDateTimeEdit *start;
    QDateTimeEdit *end;
    QPushButton *search;
    QPushButton *exportButton;
    QLabel *result;
    QProgressBar *progress;
    QTableWidget *table;
};

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
    for (int r = 0; r < form.table->rowCount(); ++r)
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
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
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
    QCOMPARE(form.table->columnCount(), 9);
    QCOMPARE(form.table->horizontalHeaderItem(4)->text(), QString("通道"));
    QCOMPARE(form.table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(form.table->verticalHeader()->isHidden());
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
    form.name->setCurrentText(name);
    form.channel->setCurrentText(channel);
    form.start->setDateTime(start);
    form.search->click();

    QStringList shown;
    for (int r = 0; r < form.table->rowCount(); ++r) {
        const QStringList texts = form.row(r);
        shown << texts[1] + "/" + texts[4] + "/" + texts[0];
        QCOMPARE(form.table->item(r, 0)->textAlignment(), int(Qt::AlignCenter));
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
    QVERIFY(form.idle());
}

void TestDialogSearch::searchWithoutResultLeavesNothingToExport()
{
    storeSample();
    MessageBoxRecorder boxes;
    DialogSearch dialog;
    const Form form(dialog);
    form.search->click();
    form.start->setDateTime(QDateTime(QDate(2030, 1, 1), QTime(0, 0)));
    form.search->click();

    QCOMPARE(form.table->rowCount(), 0);
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
    form.search->click();
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
    form.name->setCurrentText("B");
    form.search->click();
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
    for (const QString name : {"../x", "a/b"}) {
        form.name->setCurrentText(name);
        form.search->click();
        QCOMPARE(form.table->rowCount(), 1);
        form.exportButton->click();
        QTRY_VERIFY(form.idle());
    }
    QCOMPARE(boxes.boxes.size(), 2);
    QCOMPARE(exportedFiles(), QStringList({"ab_" + allRange + ".xlsx", "x_" + allRange + ".xlsx"}));
    QCOMPARE(QDir(station->path()).entryList(QDir::Files), QStringList({"hydrovane.lock"}));
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
    form.search->click();
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

void TestDialogSearch::closingDuringAnExportWaitsForTheFile()
{
    std::vector<RecordRow> rows;
    for (int i = 0; i < 20000; ++i)
        rows.push_back(makeRow("A", i % 2,
                               QDateTime(QDate(2024, 1, 2), QTime(0, 0))
                                   .addSecs(i)
                                   .toString("yyyy-MM-dd hh:mm:ss")
                                   .toStdString()));
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), rows), 0);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    auto dialog = std::make_unique<DialogSearch>();
    const Form form(*dialog);
    form.search->click();
    QCOMPARE(form.table->rowCount(), 20000);
    form.exportButton->click();
    dialog.reset();

    const QList<WorkbookSheet> sheets = readWorkbook(exportFolder() + "所有_" + allRange + ".xlsx");
    QCOMPARE(sheets.value(0).rows.size(), 20001);
    QVERIFY(boxes.boxes.isEmpty());
}

QTEST_MAIN(TestDialogSearch)
#include "tst_dialogsearch.moc"
