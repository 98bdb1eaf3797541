#include "app/appcontext.h"
#include "history/alarmresultmodel.h"
#include "history/dialogalarms.h"
#include "testsupport.h"

#include <QBrush>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

class TestDialogAlarms : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void searchListsActiveAlarmsFirstAndMarksThem();
    void exportWritesTheFoundAlarmsAndNeverOverwrites();
    void exportThatCannotBeWrittenLeavesNoFile();
    void aFailedReadIsNotReportedAsComplete();

private:
    std::unique_ptr<TempStation> station;
};

namespace {

const QString allRange = QStringLiteral("20200101000000_20990101000000");

struct Form
{
    explicit Form(DialogAlarms &dialog)
        : dialog(dialog), name(dialog.findChild<QComboBox *>("comboBoxName")),
          start(dialog.findChild<QDateTimeEdit *>("dateTimeEditStart")),
          search(dialog.findChild<QPushButton *>("pushButtonSearch")),
          exportButton(dialog.findChild<QPushButton *>("pushButtonExport")),
          result(dialog.findChild<QLabel *>("labelResult"))
    {
    }
    bool searchAndWait() const
    {
        QSignalSpy done(&dialog, &DialogAlarms::signal_searchFinished);
        search->click();
        return done.wait(30000) && !dialog.isBusy();
    }
    // The texts of row r of the table.
    QStringList row(int r) const
    {
        const AlarmResultModel *model = dialog.resultModel();
        QStringList texts;
        for (int c = 0; c < model->columnCount(); ++c)
            texts << model->index(r, c).data().toString();
        return texts;
    }

    DialogAlarms &dialog;
    QComboBox *name;
    QDateTimeEdit *start;
    QPushButton *search;
    QPushButton *exportButton;
    QLabel *result;
};

QString exportFolder()
{
    return AppContext::instance().path(ExportDir);
}

void store(const std::vector<AlarmReader::Entry> &alarms)
{
    QCOMPARE(insertAlarms(AppContext::instance().path(RecordDb), alarms), 0);
}

} // namespace

void TestDialogAlarms::init()
{
    station = std::make_unique<TempStation>();
    QCOMPARE(AppContext::instance().init(), 0);
}

void TestDialogAlarms::cleanup()
{
    station.reset();
}

void TestDialogAlarms::searchListsActiveAlarmsFirstAndMarksThem()
{
    store({makeAlarm("A", "2024-01-02 08:00:00", false, true),
           makeAlarm("B", "2024-01-02 09:00:00", true),
           makeAlarm("A", "2024-01-03 07:00:00", true)});
    DialogAlarms dialog;
    const Form form(dialog);
    QTRY_COMPARE(form.name->count(), 3);
    QVERIFY(form.searchAndWait());

    const AlarmResultModel *model = dialog.resultModel();
    QCOMPARE(model->rowCount(), 3);
    QCOMPARE(form.row(0), QStringList({"2024-01-02 09:00:00", "B", "3", "0", "DO", "高报", "8.25",
                                       "8.0", "未解除", ""}));
    QCOMPARE(form.row(2), QStringList({"2024-01-02 08:00:00", "A", "3", "0", "DO", "高报", "8.25",
                                       "8.0", "2024-01-02 23:50:00", "2024-01-02 23:40:00"}));
    QCOMPARE(model->index(1, 8).data(Qt::ForegroundRole).value<QBrush>().color(),
             QColor(Qt::red));
    QVERIFY(!model->index(2, 8).data(Qt::ForegroundRole).isValid());
    QCOMPARE(form.result->text(), QString("查询完毕，共3条报警，其中2条未解除"));

    // The name and the start of the range narrow it.
    form.name->setCurrentText("A");
    form.start->setDateTime(QDateTime(QDate(2024, 1, 3), QTime(0, 0)));
    QVERIFY(form.searchAndWait());
    QCOMPARE(model->rowCount(), 1);
    QCOMPARE(form.row(0).mid(0, 2), QStringList({"2024-01-03 07:00:00", "A"}));
}

void TestDialogAlarms::exportWritesTheFoundAlarmsAndNeverOverwrites()
{
    AlarmReader::Entry lost = makeAlarm("B", "2024-01-02 09:00:00", true);
    lost.kind = "通讯故障";
    lost.value.clear();
    lost.alarmPoint.clear();
    lost.channel = 1;
    store({makeAlarm("A", "2024-01-02 08:00:00", false, true), lost});
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogAlarms dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    QSignalSpy exported(&dialog, &DialogAlarms::signal_exportFinished);
    form.exportButton->click();
    QVERIFY(exported.wait(30000));
    form.exportButton->click();
    QVERIFY(exported.wait(30000));

    const QString base = exportFolder() + "报警记录_所有_" + allRange;
    QCOMPARE(exported.at(0), QVariantList({base + ".xlsx", true}));
    QCOMPARE(exported.at(1), QVariantList({base + "(1).xlsx", true}));
    QCOMPARE(boxes.boxes.size(), 2);
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(boxes.boxes[0].text, "报警记录保存至:\n" + base + ".xlsx");
    QCOMPARE(desktop.opened.value(0), QDir(exportFolder()).absolutePath());

    const QList<WorkbookSheet> sheets = readWorkbook(base + ".xlsx");
    QCOMPARE(sheets.size(), 1);
    QCOMPARE(sheets[0].title, QString("报警记录"));
    QVERIFY(sheets[0].centred);
    // Slave and channel as numbers, value and alarm point as numbers with their own decimals;
    // an empty text is a blank cell.
    QCOMPARE(sheets[0].rows,
             QList<QStringList>(
                 {{"s:报警时间", "s:仪表名称", "s:从站地址", "s:通道", "s:因子", "s:类型",
                   "s:数值", "s:报警点", "s:解除时间", "s:确认时间"},
                  {"s:2024-01-02 09:00:00", "s:B", "n:3", "n:1", "s:DO", "s:通讯故障", "n:", "n:",
                   "s:未解除", "n:"},
                  {"s:2024-01-02 08:00:00", "s:A", "n:3", "n:0", "s:DO", "s:高报", "n:8.25",
                   "n:8.0", "s:2024-01-02 23:50:00", "s:2024-01-02 23:40:00"}}));
    QCOMPARE(readWorkbook(base + "(1).xlsx").value(0).rows, sheets[0].rows);
}

void TestDialogAlarms::exportThatCannotBeWrittenLeavesNoFile()
{
    std::vector<AlarmReader::Entry> alarms;
    for (int i = 0; i < 3000; ++i)
        alarms.push_back(makeAlarm("A" + std::to_string(i), "2024-01-02 08:00:00", i % 2 == 0));
    store(alarms);
    MessageBoxRecorder boxes;
    DesktopRecorder desktop;
    DialogAlarms dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    QCOMPARE(dialog.resultModel()->rowCount(), 3000);

    // Files of this process stop growing at 64 KiB, as on a disk that fills up.
    rlimit size;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &size), 0);
    const rlimit unlimited = size;
    size.rlim_cur = 64 * 1024;
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &size), 0);
    QSignalSpy exported(&dialog, &DialogAlarms::signal_exportFinished);
    form.exportButton->click();
    const bool ended = exported.wait(30000);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, oldHandler);

    QVERIFY(ended);
    const QString path = exportFolder() + "报警记录_所有_" + allRange + ".xlsx";
    QCOMPARE(exported.at(0), QVariantList({path, false}));
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].icon, QMessageBox::Critical);
    QCOMPARE(boxes.boxes[0].text, "报警记录保存失败:\n" + path);
    QVERIFY(desktop.opened.isEmpty());
    QCOMPARE(QDir(exportFolder()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList());
    QVERIFY(!dialog.isBusy());
}

void TestDialogAlarms::aFailedReadIsNotReportedAsComplete()
{
    store({makeAlarm("A", "2024-01-02 08:00:00", true)});
    DialogAlarms dialog;
    const Form form(dialog);
    QVERIFY(form.searchAndWait());
    QCOMPARE(form.result->text(), QString("查询完毕，共1条报警，其中1条未解除"));
    QFile file(AppContext::instance().path(RecordDb));
    QVERIFY(file.open(QIODevice::ReadWrite));
    QVERIFY(file.write(QByteArray(int(file.size()), '\0')) == file.size());
    file.close();
    QVERIFY(form.searchAndWait());
    QCOMPARE(form.result->text(),
             QString("查询出错，已读出0条报警，其中0条未解除（数据库文件已损坏）"));
}

QTEST_MAIN(TestDialogAlarms)
#include "tst_dialogalarms.moc"
