#include "widgetcomport.h"
#include "ui_widgetcomport.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "panels/messageboxes.h"
#include "settings/configfile.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QLineEdit>
#include <QMutex>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Device names ordered by their stem, then by the number they end with: ttyUSB2 before
// ttyUSB10.
bool devicesInOrder(const QString &a, const QString &b)
{
    const auto split = [](const QString &name) {
        int digits = name.size();
        while (digits > 0 && name.at(digits - 1).isDigit())
            --digits;
        return std::make_pair(name.left(digits), name.mid(digits).toULongLong());
    };
    const auto left = split(a);
    const auto right = split(b);
    if (left != right)
        return left < right;
    return a < b;
}

} // namespace

WidgetComPort::WidgetComPort(QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetComPort), comPortCtrl(new ComPortCtrl),
      comPortConfig(static_cast<ConfigFile *>(AppContext::instance().object(ComPortConfig))),
      changed(false), readerThread(new QThread), reader(nullptr), mutex(new QMutex)
{
    if (comPortConfig)
        comPortConfig->readComPort(comPortCtrl);
    setUp();
}

WidgetComPort::WidgetComPort(ComPortCtrl *line, ConfigFile *linesConfig, QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetComPort), comPortCtrl(line), comPortConfig(linesConfig),
      firstLine(false), changed(false), readerThread(new QThread), reader(nullptr),
      mutex(new QMutex)
{
    setUp();
}

void WidgetComPort::setUp()
{
    ui->setupUi(this);
    ui->comboBoxBaudrate->addItems({"19200", "9600", "4800", "2400"});
    ui->comboBoxDatabit->addItems({"8", "7"});
    ui->comboBoxStopbit->addItems({"1", "2"});
    ui->comboBoxParity->addItems({"None", "Even", "Odd"});
    // The stored port takes part in the list: a device path of an adapter that is not
    // plugged in yet stays selectable.
    storedPort = QString::fromUtf8(comPortCtrl->getPort());
    ui->comboBoxPort->addItems(portNames(storedPort));
    showSettings();
    changed = false;
    ui->labelLineState->hide();
    if (comPortCtrl->getType() == ComPortCtrl::Tcp)
        showGateway();

    // Connected only now, so that filling and selecting above change nothing. The QString
    // overload of the signal is deprecated for pointer-based connections.
    connect(ui->comboBoxPort, SIGNAL(currentIndexChanged(QString)), this,
            SLOT(slot_comboBoxPort_currentIndexChanged(QString)));
    connect(ui->comboBoxBaudrate, SIGNAL(currentIndexChanged(QString)), this,
            SLOT(slot_comboBoxBaudrate_currentIndexChanged(QString)));
    connect(ui->comboBoxDatabit, SIGNAL(currentIndexChanged(QString)), this,
            SLOT(slot_comboBoxDatabit_currentIndexChanged(QString)));
    connect(ui->comboBoxStopbit, SIGNAL(currentIndexChanged(QString)), this,
            SLOT(slot_comboBoxStopbit_currentIndexChanged(QString)));
    connect(ui->comboBoxParity, SIGNAL(currentIndexChanged(QString)), this,
            SLOT(slot_comboBoxParity_currentIndexChanged(QString)));

    // A timeout typed digit by digit is one change, not one per digit.
    ui->doubleSpinBoxTimeout->setKeyboardTracking(false);
    connect(ui->doubleSpinBoxTimeout, QOverload<double>::of(&QDoubleSpinBox::valueChanged), this,
            &WidgetComPort::slot_doubleSpinBoxTimeout_valueChanged);
    connect(ui->comboBoxPort, &ComboBoxPort::signal_aboutToShowPopup, this,
            &WidgetComPort::refreshPorts);

    reader = new ComPortReader(mutex);
    connect(this, &WidgetComPort::signal_read, reader, &ComPortReader::read);
    connect(this, &WidgetComPort::signal_sync, reader, &ComPortReader::sync);
    connect(reader, &ComPortReader::signal_lineClosed, this, &WidgetComPort::slot_lineClosed);
    connect(reader, &ComPortReader::signal_lineLost, this, &WidgetComPort::slot_lineLost);
    connect(reader, &ComPortReader::signal_lineRestored, this, &WidgetComPort::slot_lineRestored);
    // The reconnection timer belongs to the reader thread and is stopped there, before the
    // reader is deleted from this one.
    connect(readerThread, &QThread::finished, reader, &ComPortReader::stopReconnecting,
            Qt::DirectConnection);
    ThreadHandOff::start(reader, readerThread);
}

WidgetComPort::~WidgetComPort()
{
    // A pass under way ends at its next exchange rather than after the whole chain.
    reader->requestStop();
    ThreadHandOff::stop(reader, readerThread);
    delete comPortCtrl;
    delete ui;
    delete mutex;
    delete readerThread;
}

void WidgetComPort::saveConfig()
{
    if (!changed || !comPortConfig)
        return;
    if (firstLine)
        comPortConfig->writeComPort(comPortCtrl);
    else
        comPortConfig->writeLine(comPortCtrl);
    // Marked changed until stored: a later save tries again.
    changed = MessageBoxes::storeSettings(comPortConfig) != SettingsStore::Stored;
}

void WidgetComPort::waitForReader()
{
    if (readerThread->isRunning())
        ThreadHandOff::drain(reader);
    // The close asked for has run; its answer need not wait for the event loop.
    if (lineState == LineClosing)
        slot_lineClosed(closeTicket);
}

void WidgetComPort::switchOff()
{
    ui->checkBoxConnect->setChecked(false);
}

void WidgetComPort::switchOn()
{
    ui->checkBoxConnect->setChecked(true);
}

bool WidgetComPort::isSwitchedOn() const
{
    return ui->checkBoxConnect->isChecked();
}

void WidgetComPort::setOneOfSeveral(bool several)
{
    const QString name = QString::fromStdString(comPortCtrl->getName());
    const bool gateway = comPortCtrl->getType() == ComPortCtrl::Tcp;
    const QString kind = gateway ? QStringLiteral("网关配置") : QStringLiteral("串口配置");
    ui->groupBox->setTitle(several ? name + QLatin1Char(' ') + kind : kind);
    ui->groupBox->setToolTip(several ? name : QString());
    ui->checkBoxConnect->setText(several ? QStringLiteral("线路开关") : QStringLiteral("系统开关"));
}

void WidgetComPort::showGateway()
{
    // The serial rows give way to the gateway's address and port; the timeout stays.
    for (QWidget *serial : std::initializer_list<QWidget *>{
             ui->comboBoxPort, ui->comboBoxBaudrate, ui->labelDatabit, ui->comboBoxDatabit,
             ui->labelStopbit, ui->comboBoxStopbit, ui->labelParity, ui->comboBoxParity})
        serial->hide();
    ui->labelPort->setText(QStringLiteral("地址"));
    ui->labelBaudrate->setText(QStringLiteral("端口"));
    // The timeout follows at once, where the data bits stood.
    ui->labelTimeout->move(ui->labelTimeout->x(), ui->labelDatabit->y());
    ui->doubleSpinBoxTimeout->move(ui->doubleSpinBoxTimeout->x(), ui->comboBoxDatabit->y());
    ui->groupBox->setTitle(QStringLiteral("网关配置"));
    lineEditHost = new QLineEdit(QString::fromStdString(comPortCtrl->getHost()), ui->groupBox);
    lineEditHost->setObjectName(QStringLiteral("lineEditHost"));
    lineEditHost->setGeometry(ui->comboBoxPort->geometry());
    lineEditHost->setMaxLength(253);
    spinBoxTcpPort = new QSpinBox(ui->groupBox);
    spinBoxTcpPort->setObjectName(QStringLiteral("spinBoxTcpPort"));
    spinBoxTcpPort->setGeometry(ui->comboBoxBaudrate->geometry());
    spinBoxTcpPort->setRange(1, 65535);
    spinBoxTcpPort->setValue(comPortCtrl->getTcpPort());
    spinBoxTcpPort->setKeyboardTracking(false);
    connect(lineEditHost, &QLineEdit::editingFinished, this, &WidgetComPort::slot_hostEdited);
    connect(spinBoxTcpPort, QOverload<int>::of(&QSpinBox::valueChanged), this,
            &WidgetComPort::slot_tcpPortEdited);
}

void WidgetComPort::slot_hostEdited()
{
    const QString before = QString::fromStdString(comPortCtrl->getHost());
    const QString after = lineEditHost->text().trimmed();
    if (after == before)
        return;
    if (!acceptChange())
        return;
    if (after.isEmpty()) {
        lineEditHost->setText(before);
        return;
    }
    comPortCtrl->setHost(after.toStdString());
    changed = true;
    reportChange(QStringLiteral("网关地址"), before, after);
}

void WidgetComPort::slot_tcpPortEdited(int value)
{
    if (value == comPortCtrl->getTcpPort() || !acceptChange())
        return;
    const int before = comPortCtrl->getTcpPort();
    comPortCtrl->setTcpPort(value);
    changed = true;
    reportChange(QStringLiteral("网关端口"), QString::number(before), QString::number(value));
}

QStringList WidgetComPort::portNames(const QString &stored, const QString &devDir)
{
    QStringList names;
    for (int i = 1; i <= 100; ++i)
        names << QStringLiteral("COM%1").arg(i);
    const QDir dir(devDir);
    for (const char *stem : {"ttyUSB", "ttyACM"}) {
        QStringList devices = dir.entryList({QLatin1String(stem) + QLatin1Char('*')},
                                            QDir::Files | QDir::System | QDir::NoDotAndDotDot);
        std::sort(devices.begin(), devices.end(), devicesInOrder);
        for (const QString &device : devices)
            names << dir.filePath(device);
    }
    if (stored.startsWith(QLatin1Char('/')) && !names.contains(stored))
        names << stored;
    return names;
}

QString WidgetComPort::openFailureText(int error)
{
    QString text = QStringLiteral("端口打开失败,请检查端口连接情况。");
    if (error == 0)
        return text;
    QString reason;
    switch (error) {
    case EACCES:
    case EPERM:
        reason = QStringLiteral("当前账户无权访问该串口，请将账户加入 dialout 组后重新登录");
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        reason = QStringLiteral("找不到该串口设备");
        break;
    case EBUSY:
        reason = QStringLiteral("该串口正被其他程序占用");
        break;
    case ENOTTY:
        reason = QStringLiteral("该设备不是串口");
        break;
    default:
        reason = QStringLiteral("系统拒绝打开该串口");
        break;
    }
    return text + QStringLiteral("\n原因：") + reason + QStringLiteral("（") +
           QString::fromLocal8Bit(std::strerror(error)) + QStringLiteral("）");
}

void WidgetComPort::on_checkBoxConnect_stateChanged(int arg1)
{
    if (arg1 != 0) {
        // Open already, or opened once the close under way has ended.
        if (lineState == LineOff)
            openLine();
        return;
    }
    if (lineState == LineOff) {
        // Nothing is open: the line is off already.
        emit signal_comPort(false);
        return;
    }
    if (lineState == LineClosing)
        return;
    showLineLost(false);
    // The reader may be waiting for a silent instrument: it stops before its next exchange
    // and closes the line after the work queued before, while the window goes on.
    lineState = LineClosing;
    const int ticket = ++closeTicket;
    reader->requestStop();
    ComPortReader *lineReader = reader;
    ComPortCtrl *ctrl = comPortCtrl;
    ThreadHandOff::release();
    QMetaObject::invokeMethod(
        reader, [lineReader, ctrl, ticket] { lineReader->closeLine(ctrl, ticket); },
        Qt::QueuedConnection);
}

void WidgetComPort::slot_lineClosed(int ticket)
{
    ThreadHandOff::acquire();
    if (lineState != LineClosing || ticket != closeTicket)
        return;
    lineState = LineOff;
    emit signal_comPort(false);
    // Switched on again while the line was closing.
    if (ui->checkBoxConnect->isChecked())
        openLine();
}

void WidgetComPort::slot_lineLost()
{
    if (lineState == LineOn)
        showLineLost(true);
}

void WidgetComPort::slot_lineRestored()
{
    if (lineState == LineOn)
        showLineLost(false);
}

void WidgetComPort::showLineLost(bool lost)
{
    if (lost == lineLost)
        return;
    lineLost = lost;
    ui->labelLineState->setVisible(lost);
    emit signal_lineLost(lost);
}

void WidgetComPort::openLine()
{
    int result;
    comPortCtrl->statistics().reset();
    {
        HandOffLocker locker(mutex);
        // Requests queued after the last close have found the line stopped; traffic resumes.
        reader->clearStop();
        result = comPortCtrl->open();
    }
    if (result >= 0) {
        lineState = LineOn;
        emit signal_comPort(true);
        return;
    }
    // Neither the message nor the switch's return may come from inside the switch's own change
    // signal: the check box announces its state again after that signal returns, so a switch
    // turned back there would count itself as on, and the next click would switch it on
    // without a signal while the line stayed closed. The switch goes off first, so that it
    // never shows on behind the message while the line is closed.
    const QString text = comPortCtrl->getType() == ComPortCtrl::Tcp
                             ? QStringLiteral("网关设置无效,请检查地址和端口。")
                             : openFailureText(comPortCtrl->getLastError());
    QMetaObject::invokeMethod(
        this,
        [this, text] {
            // Re-enters on_checkBoxConnect_stateChanged with 0, which announces the line as
            // off.
            if (lineState == LineOff)
                ui->checkBoxConnect->setChecked(false);
            MessageBoxes::critical(QStringLiteral("错误"), text);
        },
        Qt::QueuedConnection);
}

void WidgetComPort::slot_comboBoxPort_currentIndexChanged(const QString &arg1)
{
    if (!acceptChange())
        return;
    const QString before = QString::fromUtf8(comPortCtrl->getPort());
    comPortCtrl->setPort(arg1.toUtf8().constData());
    showPortToolTip(arg1);
    changed = true;
    reportChange(QStringLiteral("串口"), before, arg1);
}

void WidgetComPort::slot_doubleSpinBoxTimeout_valueChanged(double value)
{
    if (!acceptChange())
        return;
    const double before = comPortCtrl->getTimeout();
    comPortCtrl->setTimeout(value);
    changed = true;
    reportChange(QStringLiteral("超时"), QString::number(before), QString::number(value));
}

void WidgetComPort::slot_comboBoxBaudrate_currentIndexChanged(const QString &arg1)
{
    if (!acceptChange())
        return;
    const int before = comPortCtrl->getBaudrate();
    comPortCtrl->setBaudrate(arg1.toInt());
    changed = true;
    reportChange(QStringLiteral("波特率"), QString::number(before), arg1);
}

void WidgetComPort::slot_comboBoxDatabit_currentIndexChanged(const QString &arg1)
{
    if (!acceptChange())
        return;
    const int before = comPortCtrl->getDatabit();
    comPortCtrl->setDatabit(arg1.toInt());
    changed = true;
    reportChange(QStringLiteral("数据位"), QString::number(before), arg1);
}

void WidgetComPort::slot_comboBoxStopbit_currentIndexChanged(const QString &arg1)
{
    if (!acceptChange())
        return;
    const int before = comPortCtrl->getStopbit();
    comPortCtrl->setStopbit(arg1.toInt());
    changed = true;
    reportChange(QStringLiteral("停止位"), QString::number(before), arg1);
}

void WidgetComPort::slot_comboBoxParity_currentIndexChanged(const QString &arg1)
{
    if (!acceptChange())
        return;
    const char before = comPortCtrl->getParity();
    comPortCtrl->setParity(arg1 == QLatin1String("Even")  ? 'E'
                           : arg1 == QLatin1String("Odd") ? 'O'
                                                          : 'N');
    changed = true;
    reportChange(QStringLiteral("校验位"), QString(QLatin1Char(before)),
                 QString(QLatin1Char(comPortCtrl->getParity())));
}

void WidgetComPort::setSettingsAllowed(bool allowed)
{
    settingsAllowed = allowed;
    const QString reason = allowed ? QString() : MessageBoxes::administratorRequired();
    for (QWidget *control : std::initializer_list<QWidget *>{
             ui->comboBoxBaudrate, ui->comboBoxDatabit, ui->comboBoxStopbit, ui->comboBoxParity,
             ui->doubleSpinBoxTimeout, lineEditHost, spinBoxTcpPort}) {
        if (!control)
            continue;
        control->setEnabled(allowed);
        control->setToolTip(reason);
    }
    ui->comboBoxPort->setEnabled(allowed);
    showPortToolTip(QString::fromUtf8(comPortCtrl->getPort()));
}

bool WidgetComPort::acceptChange()
{
    if (settingsAllowed)
        return true;
    {
        const QSignalBlocker port(ui->comboBoxPort);
        const QSignalBlocker baud(ui->comboBoxBaudrate);
        const QSignalBlocker data(ui->comboBoxDatabit);
        const QSignalBlocker stop(ui->comboBoxStopbit);
        const QSignalBlocker parity(ui->comboBoxParity);
        const QSignalBlocker timeout(ui->doubleSpinBoxTimeout);
        const QSignalBlocker tcpPort(spinBoxTcpPort);
        showSettings();
        if (lineEditHost) {
            lineEditHost->setText(QString::fromStdString(comPortCtrl->getHost()));
            spinBoxTcpPort->setValue(comPortCtrl->getTcpPort());
        }
    }
    MessageBoxes::rejectWithoutAdministrator();
    return false;
}

void WidgetComPort::reportChange(const QString &setting, const QString &before,
                                 const QString &after)
{
    if (before == after)
        return;
    const QString detail = QStringLiteral("%1: %2 → %3").arg(setting, before, after);
    emit signal_maintenance(QStringLiteral("修改串口设置"),
                            firstLine ? detail
                                      : QString::fromStdString(comPortCtrl->getName()) +
                                            QLatin1Char(' ') + detail);
}

void WidgetComPort::showPortToolTip(const QString &port)
{
    // The box is too narrow for a device path; its list is not.
    ui->comboBoxPort->setToolTip(
        settingsAllowed ? port : port + QLatin1Char('\n') + MessageBoxes::administratorRequired());
}

void WidgetComPort::on_read(void *reader, const PassPlan &plan)
{
    ThreadHandOff::release();
    emit signal_read(reader, comPortCtrl, plan);
}

void WidgetComPort::on_sync(void *reader)
{
    ThreadHandOff::release();
    emit signal_sync(reader, comPortCtrl);
}

void WidgetComPort::showSettings()
{
    const QString port = QString::fromUtf8(comPortCtrl->getPort());
    ui->comboBoxPort->setCurrentIndex(ui->comboBoxPort->findText(port));
    showPortToolTip(port);
    ui->comboBoxBaudrate->setCurrentIndex(
        ui->comboBoxBaudrate->findText(QString::number(comPortCtrl->getBaudrate())));
    ui->comboBoxDatabit->setCurrentIndex(
        ui->comboBoxDatabit->findText(QString::number(comPortCtrl->getDatabit())));
    ui->comboBoxStopbit->setCurrentIndex(
        ui->comboBoxStopbit->findText(QString::number(comPortCtrl->getStopbit())));
    const char parity = comPortCtrl->getParity();
    ui->comboBoxParity->setCurrentText(parity == 'E'   ? QStringLiteral("Even")
                                       : parity == 'O' ? QStringLiteral("Odd")
                                                       : QStringLiteral("None"));
    ui->doubleSpinBoxTimeout->setValue(comPortCtrl->getTimeout());
}

void WidgetComPort::refreshPorts()
{
    QComboBox *box = ui->comboBoxPort;
    const QString current = box->currentIndex() >= 0 ? box->currentText() : QString();
    QStringList names = portNames(storedPort, deviceDir);
    if (current.startsWith(QLatin1Char('/')) && !names.contains(current))
        names << current;
    QStringList listed;
    for (int i = 0; i < box->count(); ++i)
        listed << box->itemText(i);
    if (names == listed)
        return;
    // The same selection: nothing changed for the line or for the settings file.
    const QSignalBlocker blocker(box);
    box->clear();
    box->addItems(names);
    box->setCurrentIndex(current.isEmpty() ? -1 : box->findText(current));
}
