#include "panels/dialogaddmonitor.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {

// Stands in for the main window: receives the request and notes whether the dialog was
// still open when it arrived.
class Receiver : public QWidget
{
    Q_OBJECT

public:
    QStringList requests;
    bool dialogOpen = false;

public slots:
    void on_addMonitor(const QString &model, const QString &userName, int id, int channel, int line)
    {
        requests << QStringLiteral("%1|%2|%3|%4").arg(model, userName).arg(id).arg(channel);
        if (line != 0)
            requests.last() += QStringLiteral("|line %1").arg(line);
        const QWidget *dialog = findChild<DialogAddMonitor *>();
        dialogOpen = dialog && dialog->isVisible();
    }
};

QStringList items(const QComboBox *box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

// Runs the dialog modally; `fill` acts once it is up, then OK or Cancel is pressed.
void runDialog(Receiver &receiver, const std::function<void(DialogAddMonitor &)> &fill,
               QDialogButtonBox::StandardButton press, const QStringList &lines = {})
{
    DialogAddMonitor dialog(&receiver);
    dialog.setLines(lines, 1);
    QTimer::singleShot(0, &dialog, [&] {
        fill(dialog);
        dialog.findChild<QDialogButtonBox *>()->button(press)->click();
    });
    dialog.exec();
}

} // namespace

class TestDialogAddMonitor : public QObject
{
    Q_OBJECT

private slots:
    void formHasTheReferenceLookAndDefaults();
    void acceptSendsTheChoiceWithChannelMinusOne_data();
    void acceptSendsTheChoiceWithChannelMinusOne();
    void cancelSendsNothing();
    void theLineIsAskedOnlyOfSeveral();
    void theDialogIsClosedWhenTheRequestIsHandled();
};

void TestDialogAddMonitor::formHasTheReferenceLookAndDefaults()
{
    DialogAddMonitor dialog;
    QCOMPARE(dialog.windowTitle(), QString("添加仪表"));
    QCOMPARE(dialog.size(), QSize(471, 175));
    QCOMPARE(dialog.font().family(), QString("微软雅黑"));
    QCOMPARE(dialog.font().pointSize(), 12);
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QStringList labels;
    for (const QLabel *label : dialog.findChildren<QLabel *>())
        labels << label->text();
    QCOMPARE(labels, QStringList({"型号", "ID", "通道", "仪表名称"}));

    auto *model = dialog.findChild<QComboBox *>("comboBoxName");
    QCOMPARE(items(model), QStringList({"DO580", "DI590", "RO592", "RA550"}));
    QCOMPARE(model->currentText(), QString("DO580"));
    QCOMPARE(model->geometry(), QRect(60, 10, 91, 22));
    auto *id = dialog.findChild<QComboBox *>("comboBoxID");
    QCOMPARE(id->count(), 200);
    QCOMPARE(id->itemText(0), QString("1"));
    QCOMPARE(id->itemText(199), QString("200"));
    QCOMPARE(id->currentText(), QString("1"));
    auto *channel = dialog.findChild<QComboBox *>("comboBoxName_2");
    QCOMPARE(items(channel), QStringList({"0", "1", "2", "3", "4", "5", "6", "7"}));
    QVERIFY(!channel->isEnabled());
    auto *name = dialog.findChild<QLineEdit *>("lineEditUserName");
    QVERIFY(name->text().isEmpty());
    QCOMPARE(name->geometry(), QRect(100, 70, 351, 31));
    auto *buttons = dialog.findChild<QDialogButtonBox *>("buttonBox");
    QCOMPARE(buttons->standardButtons(), QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    QCOMPARE(buttons->geometry(), QRect(140, 130, 161, 32));
}

void TestDialogAddMonitor::acceptSendsTheChoiceWithChannelMinusOne_data()
{
    QTest::addColumn<int>("model");
    QTest::addColumn<int>("id");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("request");
    QTest::newRow("defaults") << 0 << 0 << ""
                              << "DO580|DO580#1|1|-1";
    QTest::newRow("default name") << 1 << 2 << ""
                                  << "DI590|DI590#3|3|-1";
    QTest::newRow("blank kept") << 3 << 199 << " "
                                << "RA550| |200|-1";
    QTest::newRow("name as typed") << 2 << 9 << "池/\"1\""
                                   << "RO592|池/\"1\"|10|-1";
}

void TestDialogAddMonitor::acceptSendsTheChoiceWithChannelMinusOne()
{
    QFETCH(int, model);
    QFETCH(int, id);
    QFETCH(QString, name);
    QFETCH(QString, request);
    Receiver receiver;
    runDialog(
        receiver,
        [&](DialogAddMonitor &dialog) {
            dialog.findChild<QComboBox *>("comboBoxName")->setCurrentIndex(model);
            dialog.findChild<QComboBox *>("comboBoxID")->setCurrentIndex(id);
            dialog.findChild<QComboBox *>("comboBoxName_2")->setCurrentIndex(5);
            dialog.findChild<QLineEdit *>("lineEditUserName")->setText(name);
        },
        QDialogButtonBox::Ok);
    QCOMPARE(receiver.requests, QStringList(request));
}

void TestDialogAddMonitor::cancelSendsNothing()
{
    Receiver receiver;
    runDialog(
        receiver,
        [](DialogAddMonitor &dialog) {
            dialog.findChild<QLineEdit *>("lineEditUserName")->setText("x");
        },
        QDialogButtonBox::Cancel);
    QVERIFY(receiver.requests.isEmpty());
}

void TestDialogAddMonitor::theLineIsAskedOnlyOfSeveral()
{
    Receiver receiver;
    runDialog(
        receiver,
        [](DialogAddMonitor &dialog) { QVERIFY(!dialog.findChild<QComboBox *>("comboBoxLine")); },
        QDialogButtonBox::Ok, {"串口1"});
    runDialog(receiver,
              [](DialogAddMonitor &dialog) {
                  auto *line = dialog.findChild<QComboBox *>("comboBoxLine");
                  QVERIFY(line);
                  QCOMPARE(items(line), QStringList({"串口1", "二期", "池区网关"}));
                  // Offered: the line selected in the tree.
                  QCOMPARE(line->currentIndex(), 1);
                  line->setCurrentIndex(2);
              },
              QDialogButtonBox::Ok, {"串口1", "二期", "池区网关"});
    QCOMPARE(receiver.requests, QStringList({"DO580|DO580#1|1|-1", "DO580|DO580#1|1|-1|line 2"}));
}

void TestDialogAddMonitor::theDialogIsClosedWhenTheRequestIsHandled()
{
    Receiver receiver;
    runDialog(
        receiver, [](DialogAddMonitor &) {}, QDialogButtonBox::Ok);
    QCOMPARE(receiver.requests.size(), 1);
    QVERIFY(!receiver.dialogOpen);
}

QTEST_MAIN(TestDialogAddMonitor)
#include "tst_dialogaddmonitor.moc"
