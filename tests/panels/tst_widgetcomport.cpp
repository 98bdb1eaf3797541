#include "panels/widgetcomport.h"

#include "app/appcontext.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/readclient.h"
#include "line/syncclient.h"
#include "panels/comboboxport.h"
#include "settings/configfile.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QGroupBox>
#include <QAbstractItemView>
#include <QLabel>
#include <QStyleOptionButton>
#include <QtTest>

#include <atomic>
#include <cerrno>
#include <cstring>

#include <termios.h>

namespace {

// Stands in for the monitor list and a detail panel: records what the reader called.
class Client : public ReadClient, public SyncClient
{
public:
    void readAll(modbus_t *context, const PassPlan &) override
    {
        readContext = context;
        readThread = QThread::currentThread();
        ++reads;
    }
    void syncMonitor(modbus_t *context) override
    {
        if (monitor)
            monitor->sync(context);
        ++syncs;
    }
    void *readToken() { return static_cast<void *>(static_cast<ReadClient *>(this)); }
    void *syncToken() { return static_cast<void *>(static_cast<SyncClient *>(this)); }

    MonitorBase *monitor = nullptr;
    std::atomic<modbus_t *> readContext{nullptr};
    std::atomic<QThread *> readThread{nullptr};
    std::atomic<int> reads{0};
    std::atomic<int> syncs{0};
};

QByteArray comPortJson(const QString &port, int baudrate, const QString &parity)
{
    // Compact on purpose: any rewrite by the station comes out indented.
    return QStringLiteral(R"({"comport":"%1","baudrate":%2,"databit":8,"stopbit":1,"parity":"%3"})")
        .arg(port)
        .arg(baudrate)
        .arg(parity)
        .toUtf8();
}

QComboBox *combo(const WidgetComPort &widget, const char *name)
{
    return widget.findChild<QComboBox *>(name);
}

QCheckBox *lineSwitch(const WidgetComPort &widget)
{
    return widget.findChild<QCheckBox *>("checkBoxConnect");
}

} // namespace

class TestWidgetComPort : public QObject
{
    Q_OBJECT

private slots:
    void formHasTheReferenceTextsAndLook();
    void storedSettingsAreShownWithoutMarkingChanged_data();
    void storedSettingsAreShownWithoutMarkingChanged();
    void changedSettingsAreStoredOnceAtSave();
    void portListAddsSerialDevicesInNumericOrder();
    void failedOpenShowsTheReasonAndTurnsTheSwitchOff();
    void clickingOnAfterAFailedOpenOpensTheLine();
    void switchingOffDoesNotWaitForASilentInstrument();
    void portBoxListsAdaptersPluggedInLaterAndShowsTheirEnd();
    void lineSwitchOpensAndRelaysRequestsToTheReader();
    void waitForReaderReturnsAfterQueuedRequests();
    void lostDeviceIsShownUntilSwitchedOff();
    void lockedSettingsRefuseChangesButNotTheSwitch();
};

void TestWidgetComPort::formHasTheReferenceTextsAndLook()
{
    TempStation station;
    QCOMPARE(AppContext::instance().init(), 0);
    WidgetComPort widget;
    QCOMPARE(widget.windowTitle(), QString("Form"));
    QCOMPARE(widget.size(), QSize(213, 290));
    QCOMPARE(widget.font().family(), QString("微软雅黑"));
    QCOMPARE(widget.font().pointSize(), 12);
    QCOMPARE(widget.findChild<QGroupBox *>("groupBox")->title(), QString("串口配置"));
    QStringList labels;
    for (const QLabel *label : widget.findChildren<QLabel *>())
        labels << label->text();
    QCOMPARE(labels, QStringList({"端口", "波特率", "数据位", "停止位", "校验位", "超时",
                                  "通讯中断，正在重连…"}));
    QVERIFY(widget.findChild<QLabel *>("labelLineState")->isHidden());
    QCOMPARE(widget.findChild<QDoubleSpinBox *>("doubleSpinBoxTimeout")->value(), 1.0);

    const auto items = [&](const char *name) {
        QStringList texts;
        for (int i = 0; i < combo(widget, name)->count(); ++i)
            texts << combo(widget, name)->itemText(i);
        return texts;
    };
    const QStringList ports = items("comboBoxPort");
    QCOMPARE(ports.mid(0, 3), QStringList({"COM1", "COM2", "COM3"}));
    QCOMPARE(ports.at(99), QString("COM100"));
    QCOMPARE(items("comboBoxBaudrate"), QStringList({"19200", "9600", "4800", "2400"}));
    QCOMPARE(items("comboBoxDatabit"), QStringList({"8", "7"}));
    QCOMPARE(items("comboBoxStopbit"), QStringList({"1", "2"}));
    QCOMPARE(items("comboBoxParity"), QStringList({"None", "Even", "Odd"}));

    QCOMPARE(lineSwitch(widget)->text(), QString("系统开关"));
    QVERIFY(!lineSwitch(widget)->isChecked());
    QCOMPARE(lineSwitch(widget)->styleSheet(),
             QString("QCheckBox::indicator::unchecked {   \n"
                     "    image: url(:/res/image/system_off.png);\n}\n\n"
                     "QCheckBox::indicator::checked { \n"
                     "    image: url(:/res/image/system_on.png);\n}"));
    // Without a file the line has the defaults.
    QCOMPARE(combo(widget, "comboBoxPort")->currentText(), QString("COM1"));
    QCOMPARE(combo(widget, "comboBoxBaudrate")->currentText(), QString("9600"));
    QCOMPARE(combo(widget, "comboBoxStopbit")->currentText(), QString("2"));
    QCOMPARE(combo(widget, "comboBoxParity")->currentText(), QString("None"));
}

void TestWidgetComPort::storedSettingsAreShownWithoutMarkingChanged_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("baudrate");
    QTest::addColumn<QString>("parity");
    QTest::addColumn<QString>("baudText");
    QTest::addColumn<QString>("parityText");
    // What the line uses: a value no line takes is reported and replaced by the default.
    QTest::addColumn<int>("usedBaudrate");
    QTest::addColumn<QString>("usedParity");
    QTest::newRow("listed values") << "COM3" << 4800 << "E"
                                   << "4800"
                                   << "Even" << 4800 << "E";
    QTest::newRow("odd parity") << "COM100" << 2400 << "O"
                                << "2400"
                                << "Odd" << 2400 << "O";
    QTest::newRow("baud rate not listed") << "COM2" << 115200 << "N"
                                          << ""
                                          << "None" << 115200 << "N";
    QTest::newRow("baud rate no line takes") << "COM2" << 123 << "N"
                                             << "9600"
                                             << "None" << 9600 << "N";
    QTest::newRow("parity X") << "COM1" << 9600 << "X"
                              << "9600"
                              << "None" << 9600 << "N";
    QTest::newRow("parity lower-case e") << "COM1" << 9600 << "e"
                                         << "9600"
                                         << "None" << 9600 << "N";
    QTest::newRow("adapter not plugged in") << "/dev/ttyUSB77" << 9600 << "N"
                                            << "9600"
                                            << "None" << 9600 << "N";
}

void TestWidgetComPort::storedSettingsAreShownWithoutMarkingChanged()
{
    QFETCH(QString, port);
    QFETCH(int, baudrate);
    QFETCH(QString, parity);
    QFETCH(QString, baudText);
    QFETCH(QString, parityText);
    QFETCH(int, usedBaudrate);
    QFETCH(QString, usedParity);
    TempStation station;
    const QByteArray stored = comPortJson(port, baudrate, parity);
    QVERIFY(station.writeFile("config/ComPort.json", stored));
    QCOMPARE(AppContext::instance().init(), 0);

    WidgetComPort widget;
    QCOMPARE(combo(widget, "comboBoxPort")->currentText(), port);
    QCOMPARE(combo(widget, "comboBoxBaudrate")->currentText(), baudText);
    QCOMPARE(combo(widget, "comboBoxBaudrate")->currentIndex() == -1, baudText.isEmpty());
    QCOMPARE(combo(widget, "comboBoxParity")->currentText(), parityText);
    QCOMPARE(widget.getComPortCtrl()->getBaudrate(), usedBaudrate);
    QCOMPARE(widget.getComPortCtrl()->getParity(), usedParity.at(0).toLatin1());
    const bool replaced = usedBaudrate != baudrate || usedParity != parity;
    auto *config = static_cast<ConfigFile *>(AppContext::instance().object(ComPortConfig));
    QCOMPARE(config->problems().empty(), !replaced);

    // Loading, even with a value replaced, is no change to store.
    widget.saveConfig();
    QCOMPARE(station.readFile("config/ComPort.json"), stored);
}

void TestWidgetComPort::changedSettingsAreStoredOnceAtSave()
{
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson("COM2", 115200, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    WidgetComPort widget;
    combo(widget, "comboBoxPort")->setCurrentText("COM7");
    combo(widget, "comboBoxBaudrate")->setCurrentText("19200");
    combo(widget, "comboBoxDatabit")->setCurrentText("7");
    combo(widget, "comboBoxStopbit")->setCurrentText("2");
    combo(widget, "comboBoxParity")->setCurrentText("Odd");
    const ComPortCtrl *ctrl = widget.getComPortCtrl();
    QCOMPARE(QString(ctrl->getPort()), QString("COM7"));
    QCOMPARE(ctrl->getBaudrate(), 19200);
    QCOMPARE(ctrl->getDatabit(), 7);
    QCOMPARE(ctrl->getStopbit(), 2);
    QCOMPARE(ctrl->getParity(), 'O');
    combo(widget, "comboBoxParity")->setCurrentText("None");
    QCOMPARE(ctrl->getParity(), 'N');

    widget.saveConfig();
    QCOMPARE(station.readFile("config/ComPort.json"), QByteArray("{\n"
                                                                 "    \"baudrate\": 19200,\n"
                                                                 "    \"comport\": \"COM7\",\n"
                                                                 "    \"databit\": 7,\n"
                                                                 "    \"parity\": \"N\",\n"
                                                                 "    \"stopbit\": 2\n"
                                                                 "}"));
    // Stored: the next save without a change leaves the file alone.
    QVERIFY(station.writeFile("config/ComPort.json", "{}"));
    widget.saveConfig();
    QCOMPARE(station.readFile("config/ComPort.json"), QByteArray("{}"));
}

void TestWidgetComPort::portListAddsSerialDevicesInNumericOrder()
{
    QTemporaryDir dev;
    for (const char *name : {"ttyUSB10", "ttyACM0", "ttyUSB2", "ttyS0", "ttyUSB0", "tty1"}) {
        QFile file(dev.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QStringList devices = {dev.filePath("ttyUSB0"), dev.filePath("ttyUSB2"),
                                 dev.filePath("ttyUSB10"), dev.filePath("ttyACM0")};
    QStringList names = WidgetComPort::portNames("COM4", dev.path());
    QCOMPARE(names.size(), 104);
    QCOMPARE(names.first(), QString("COM1"));
    QCOMPARE(names.mid(99, 1), QStringList({"COM100"}));
    QCOMPARE(names.mid(100), devices);

    // A stored path joins the list once; a stored COM name outside the list does not.
    names = WidgetComPort::portNames("/dev/serial/by-id/usb-rs485", dev.path());
    QCOMPARE(names.mid(100), devices + QStringList({"/dev/serial/by-id/usb-rs485"}));
    QCOMPARE(WidgetComPort::portNames(dev.filePath("ttyUSB2"), dev.path()).mid(100), devices);
    QCOMPARE(WidgetComPort::portNames("COM200", dev.path()).size(), 104);
}

void TestWidgetComPort::failedOpenShowsTheReasonAndTurnsTheSwitchOff()
{
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json",
                              comPortJson(station.filePath("no-such-port"), 9600, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    MessageBoxRecorder boxes;
    WidgetComPort widget;
    QSignalSpy line(&widget, &WidgetComPort::signal_comPort);

    // The box is asked once the switch is off again and listeners know the line is off.
    bool offBehindTheBox = false;
    boxes.whenAsked = [&](const MessageBoxes::Box &) {
        offBehindTheBox = !lineSwitch(widget)->isChecked() && line.count() == 1;
    };
    lineSwitch(widget)->setChecked(true);
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QVERIFY(offBehindTheBox);
    const MessageBoxes::Box &box = boxes.boxes.first();
    QCOMPARE(box.icon, QMessageBox::Critical);
    QCOMPARE(box.title, QString("错误"));
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    const QStringList lines = box.text.split('\n');
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], QString("端口打开失败,请检查端口连接情况。"));
    QVERIFY2(lines[1].contains(QString::fromLocal8Bit(std::strerror(ENOENT))),
             qPrintable(lines[1]));
    QVERIFY(!lineSwitch(widget)->isChecked());
    QCOMPARE(line.count(), 1);
    QCOMPARE(line.first().first().toBool(), false);
    QVERIFY(widget.getComPortCtrl()->getContext() == nullptr);

    // Settings refused before any device is tried have no system reason: one line only.
    // (Tests run as root, so "permission denied" is checked on the text alone.)
    QCOMPARE(WidgetComPort::openFailureText(0), QString("端口打开失败,请检查端口连接情况。"));
    const QString denied = WidgetComPort::openFailureText(EACCES);
    QVERIFY(denied.startsWith("端口打开失败,请检查端口连接情况。\n"));
    QVERIFY(denied.contains("dialout"));
    QVERIFY(denied.contains(QString::fromLocal8Bit(std::strerror(EACCES))));
}

void TestWidgetComPort::lineSwitchOpensAndRelaysRequestsToTheReader()
{
    SimulatorProcess sim({"1:DI590"}, {"--baud", "115200"});
    QVERIFY(sim.isReady());
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), 115200, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    MessageBoxRecorder boxes;
    auto *widget = new WidgetComPort;
    QSignalSpy line(widget, &WidgetComPort::signal_comPort);
    // Answers reach the interface thread queued, as in the station (a spy on the reader
    // would record them on the reader thread).
    int readsDone = 0;
    QList<void *> syncsDone;
    QObject receiver;
    connect(widget->getReader(), &ComPortReader::signal_readDone, &receiver, [&] { ++readsDone; });
    connect(widget->getReader(), &ComPortReader::signal_syncDone, &receiver,
            [&](void *client) { syncsDone << client; });

    lineSwitch(*widget)->setChecked(true);
    QVERIFY(boxes.boxes.isEmpty());
    QCOMPARE(line.count(), 1);
    QCOMPARE(line.first().first().toBool(), true);
    modbus_t *context = widget->getComPortCtrl()->getContext();
    QVERIFY(context);
    // The baud rate that has no item is the one the line was opened with.
    termios settings;
    QCOMPARE(tcgetattr(modbus_get_socket(context), &settings), 0);
    QCOMPARE(cfgetospeed(&settings), speed_t(B115200));

    Client client;
    MonitorCollection collection;
    client.monitor = collection.create("DI590", "m", 1, -1, true, false);
    widget->on_read(client.readToken(), PassPlan());
    QTRY_COMPARE(readsDone, 1);
    QCOMPARE(client.reads.load(), 1);
    QCOMPARE(client.readContext.load(), context);
    QVERIFY(client.readThread.load() != QThread::currentThread());
    widget->on_sync(client.syncToken());
    QTRY_COMPARE(syncsDone, QList<void *>({client.syncToken()}));
    QVERIFY(client.monitor->isSynced());

    lineSwitch(*widget)->setChecked(false);
    QTRY_COMPARE(line.count(), 2);
    QCOMPARE(line.last().first().toBool(), false);
    QVERIFY(widget->getComPortCtrl()->getContext() == nullptr);
    // A sync asked for while the line is off runs without a line and fails.
    widget->on_sync(client.syncToken());
    QTRY_COMPARE(syncsDone.size(), 2);
    QVERIFY(!client.monitor->isSynced());

    // Deleted while the line is on and a pass is queued: the thread ends, nothing hangs.
    lineSwitch(*widget)->setChecked(true);
    widget->on_read(client.readToken(), PassPlan());
    delete widget;
    qDeleteAll(collection.getMonitors());
}

void TestWidgetComPort::waitForReaderReturnsAfterQueuedRequests()
{
    // Nobody answers id 9: its sync waits for the timeout on the reader thread.
    SimulatorProcess sim({"1:DI590"});
    QVERIFY(sim.isReady());
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), 9600, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    WidgetComPort widget;
    lineSwitch(widget)->setChecked(true);
    QVERIFY(widget.getComPortCtrl()->getContext());

    Client absent;
    Client present;
    MonitorCollection collection;
    absent.monitor = collection.create("DI590", "absent", 9, -1, true, false);
    present.monitor = collection.create("DI590", "present", 1, -1, true, false);
    widget.on_sync(absent.syncToken());
    widget.on_sync(present.syncToken());
    widget.on_read(present.readToken(), PassPlan());
    widget.waitForReader();
    QCOMPARE(absent.syncs.load(), 1);
    QCOMPARE(present.syncs.load(), 1);
    QCOMPARE(present.reads.load(), 1);
    QVERIFY(present.monitor->isSynced());
    qDeleteAll(collection.getMonitors());
}

void TestWidgetComPort::lostDeviceIsShownUntilSwitchedOff()
{
    SimulatorProcess sim({"1:DI590"});
    QVERIFY(sim.isReady());
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), 9600, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    MessageBoxRecorder boxes;
    WidgetComPort widget;
    QSignalSpy lost(&widget, &WidgetComPort::signal_lineLost);
    const QLabel *label = widget.findChild<QLabel *>("labelLineState");
    lineSwitch(widget)->setChecked(true);
    Client client;
    MonitorCollection collection;
    client.monitor = collection.create("DI590", "m", 1, -1, true, false);

    // Unplugged: the next exchange finds the device gone.
    sim.kill();
    widget.on_sync(client.syncToken());
    QTRY_COMPARE(lost.count(), 1);
    QCOMPARE(lost.last().first().toBool(), true);
    QVERIFY(widget.isLineLost());
    QVERIFY(!label->isHidden());
    QVERIFY(lineSwitch(widget)->isChecked());

    // Switched off meanwhile: the panel stops saying it reconnects.
    widget.switchOff();
    QCOMPARE(lost.count(), 2);
    QCOMPARE(lost.last().first().toBool(), false);
    QTRY_VERIFY(widget.isLineOff());
    QVERIFY(!widget.isLineLost());
    QVERIFY(label->isHidden());
    QVERIFY(boxes.boxes.isEmpty());
    qDeleteAll(collection.getMonitors());
}

void TestWidgetComPort::clickingOnAfterAFailedOpenOpensTheLine()
{
    // The operator's way: the instrument line is unplugged, then plugged back.
    SimulatorProcess sim({"1:DI590"});
    QVERIFY(sim.isReady());
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), 9600, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    MessageBoxRecorder boxes;
    WidgetComPort widget;
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    QSignalSpy line(&widget, &WidgetComPort::signal_comPort);
    QCheckBox *box = lineSwitch(widget);
    QStyleOptionButton option;
    option.initFrom(box);
    const QPoint indicator =
        box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).center();
    const auto click = [&] { QTest::mouseClick(box, Qt::LeftButton, {}, indicator); };

    sim.kill();
    click();
    QTRY_COMPARE(boxes.boxes.size(), 1);
    QVERIFY(!box->isChecked());
    QCOMPARE(line.count(), 1);
    QCOMPARE(line.last().first().toBool(), false);

    QVERIFY(sim.start());
    click();
    QTRY_COMPARE(line.count(), 2);
    QVERIFY(box->isChecked());
    QCOMPARE(line.last().first().toBool(), true);
    QVERIFY(widget.getComPortCtrl()->getContext());
    click();
    QTRY_COMPARE(line.count(), 3);
    QVERIFY(!box->isChecked());
    QVERIFY(!widget.getComPortCtrl()->getContext());
    QCOMPARE(boxes.boxes.size(), 1);
}

void TestWidgetComPort::switchingOffDoesNotWaitForASilentInstrument()
{
    // Nobody answers id 9: each of its exchanges waits for the 1 s timeout.
    SimulatorProcess sim({"1:DI590"});
    QVERIFY(sim.isReady());
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson(sim.linkPath(), 9600, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    WidgetComPort widget;
    QSignalSpy line(&widget, &WidgetComPort::signal_comPort);
    QStringList order;
    connect(widget.getReader(), &ComPortReader::signal_readDone, &widget,
            [&] { order << "read"; });
    connect(widget.getReader(), &ComPortReader::signal_syncDone, &widget,
            [&] { order << "sync"; });
    connect(&widget, &WidgetComPort::signal_comPort, &widget,
            [&](bool on) { order << (on ? "on" : "off"); });
    lineSwitch(widget)->setChecked(true);
    QVERIFY(widget.getComPortCtrl()->getContext());

    // Both monitors synced, the absent one on another line where its instrument answers.
    SimulatorProcess elsewhere({"9:DI590"});
    QVERIFY(elsewhere.isReady());
    Client client;
    MonitorCollection collection;
    MonitorBase *absent = collection.create("DI590", "absent", 9, -1, true, false);
    client.monitor = collection.create("DI590", "present", 1, -1, true, false);
    QCOMPARE(absent->sync(elsewhere.context()), 0);
    QCOMPARE(client.monitor->sync(widget.getComPortCtrl()->getContext()), 0); // reader idle
    struct Reader : ReadClient
    {
        void readAll(modbus_t *context, const PassPlan &plan) override
        {
            started = true;
            collection->readAll(context, plan);
        }
        MonitorCollection *collection;
        std::atomic<bool> started{false};
    } pass;
    pass.collection = &collection;

    widget.on_read(static_cast<ReadClient *>(&pass), PassPlan());
    widget.on_sync(client.syncToken());
    QTRY_VERIFY(pass.started);
    lineSwitch(widget)->setChecked(false);
    // Back at once: the pass still waits for the absent instrument, the line is still open.
    QCOMPARE(line.count(), 1);
    QCOMPARE(client.syncs.load(), 0);

    QTRY_COMPARE(line.count(), 2);
    QVERIFY(!widget.getComPortCtrl()->getContext());
    QCOMPARE(order, QStringList({"on", "read", "sync", "off"}));
    // Cut short by the switch-off, not failed: both monitors show nothing rather than 'B'.
    QCOMPARE(absent->snapshot().result("DO").status, 'F');
    QCOMPARE(client.monitor->snapshot().result("DO").status, 'F');
    QVERIFY(!client.monitor->isSynced());
    qDeleteAll(collection.getMonitors());
}

void TestWidgetComPort::portBoxListsAdaptersPluggedInLaterAndShowsTheirEnd()
{
    QTemporaryDir dev;
    const QString stored = "/dev/serial/by-id/usb-FTDI_USB_RS485_Adapter_A10K5GH3-if00-port0";
    TempStation station;
    QVERIFY(station.writeFile("config/ComPort.json", comPortJson("COM3", 9600, "N")));
    QCOMPARE(AppContext::instance().init(), 0);
    WidgetComPort widget;
    widget.setDeviceDir(dev.path());
    widget.show();
    QVERIFY(QTest::qWaitForWindowExposed(&widget));
    QComboBox *ports = combo(widget, "comboBoxPort");
    QSignalSpy changes(ports, QOverload<int>::of(&QComboBox::currentIndexChanged));

    // Plugged in after start: listed when the box opens, the selection kept.
    QFile(dev.filePath("ttyUSB0")).open(QIODevice::WriteOnly);
    ports->showPopup();
    QCOMPARE(ports->count(), 101);
    QCOMPARE(ports->itemText(100), dev.filePath("ttyUSB0"));
    QCOMPARE(ports->currentText(), QString("COM3"));
    ports->hidePopup();
    QVERIFY(changes.isEmpty());

    // A long path picked: shown by its end, whole in the tooltip and in the wide list.
    QFile(dev.filePath("ttyUSB0")).remove();
    ports->addItem(stored);
    ports->setCurrentText(stored);
    ports->showPopup();
    QCOMPARE(ports->currentText(), stored);
    QCOMPARE(ports->itemText(ports->count() - 1), stored);
    QVERIFY(ports->view()->width() >= ports->fontMetrics().horizontalAdvance(stored));
    ports->hidePopup();
    const QString shown = static_cast<ComboBoxPort *>(ports)->shownText();
    QVERIFY2(shown.startsWith(QChar(0x2026)) && shown.endsWith("port0"), qPrintable(shown));
    QCOMPARE(ports->toolTip(), stored);
}

QTEST_MAIN(TestWidgetComPort)
#include "tst_widgetcomport.moc"

void TestWidgetComPort::lockedSettingsRefuseChangesButNotTheSwitch()
{
    TempStation station;
    MessageBoxRecorder boxes;
    QCOMPARE(AppContext::instance().init(), 0);
    WidgetComPort widget;
    QSignalSpy told(&widget, &WidgetComPort::signal_maintenance);
    combo(widget, "comboBoxBaudrate")->setCurrentText("4800");
    QCOMPARE(told.size(), 1);
    QCOMPARE(told[0].at(0).toString(), QString("修改串口设置"));
    QCOMPARE(told[0].at(1).toString(), QString("波特率: 9600 → 4800"));

    widget.setSettingsAllowed(false);
    for (const char *name : {"comboBoxPort", "comboBoxBaudrate", "comboBoxParity"}) {
        QVERIFY2(!combo(widget, name)->isEnabled(), name);
        QVERIFY2(combo(widget, name)->toolTip().endsWith("请先以管理员身份登录。"), name);
    }
    QVERIFY(!widget.findChild<QDoubleSpinBox *>("doubleSpinBoxTimeout")->isEnabled());
    QVERIFY(widget.findChild<QCheckBox *>("checkBoxConnect")->isEnabled());
    // A change that gets through anyway is taken back, refused, and not stored.
    combo(widget, "comboBoxParity")->setCurrentText("Even");
    QCOMPARE(combo(widget, "comboBoxParity")->currentText(), QString("None"));
    QCOMPARE(widget.getComPortCtrl()->getParity(), 'N');
    QCOMPARE(boxes.boxes.size(), 1);
    QCOMPARE(boxes.boxes[0].text, QString("请先以管理员身份登录。"));
    QCOMPARE(told.size(), 1);

    widget.setSettingsAllowed(true);
    QComboBox *port = combo(widget, "comboBoxPort");
    QCOMPARE(port->toolTip(), port->currentText());
    combo(widget, "comboBoxParity")->setCurrentText("Odd");
    QCOMPARE(widget.getComPortCtrl()->getParity(), 'O');
    QCOMPARE(told.last().at(1).toString(), QString("校验位: N → O"));
}
