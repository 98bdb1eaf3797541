#include "widgetmonitordisplay.h"
#include "ui_widgetmonitordisplay.h"

#include "acquisition/threadhandoff.h"
#include "instruments/monitorbase.h"
#include "panels/messageboxes.h"
#include "panels/recordhandoff.h"
#include "storage/recordrow.h"
#include "trend/widgetaxesdisplay.h"

#include <QDateTime>
#include <QHeaderView>
#include <QSignalBlocker>

namespace {

const char *const headerStyle = "QHeaderView::section{background:lightblue;}";

QString statusText(char status)
{
    // A factor that was never read has no status letter at all.
    return status ? QString(QLatin1Char(status)) : QString();
}

QTableWidgetItem *centredItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

void setUpTable(QTableWidget *table, const QStringList &headers)
{
    table->setColumnCount(headers.size());
    table->setHorizontalHeaderLabels(headers);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->horizontalHeader()->setStyleSheet(QLatin1String(headerStyle));
    table->verticalHeader()->setVisible(false);
}

// A relay number with the unit of the factor it acts on.
QString relayText(float value, const RelaySnapshot &relay)
{
    if (!relay.sensor)
        return QString::number(double(value));
    return QString::fromStdString(relay.sensor->valueText(value) + relay.sensor->unit);
}

// A pass's time as the pages show and record it. Every page of a pass asks for the same
// stamp, and making the text asks the system for the time zone each time: made once.
struct StampText
{
    qint64 stamp = -1;
    QString text;
    std::string utf8;
};

const StampText &stampText(qint64 stamp)
{
    static StampText last;
    if (stamp != last.stamp) {
        last.stamp = stamp;
        last.text =
            QDateTime::fromSecsSinceEpoch(stamp).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
        last.utf8 = last.text.toStdString();
    }
    return last;
}

} // namespace

WidgetMonitorDisplay::WidgetMonitorDisplay(QWidget *parent)
    : QWidget(parent), monitor(nullptr), interval(1), handOff(RecordHandOff::acquire())
{
    records = {new RecordRow, new RecordRow};
}

WidgetMonitorDisplay::~WidgetMonitorDisplay()
{
    // Rows of other pages queued meanwhile are stored too; those of this one must be before
    // its records may go (a removed monitor's history is deleted right after).
    if (handedRows)
        handOff->waitForStored();
    RecordHandOff::release();
    qDeleteAll(records);
    delete ui;
}

void WidgetMonitorDisplay::setMonitor(MonitorBase *m)
{
    monitor = m;
    monitor->views[0] = this;
    refreshRelays();
    rebuildFactors();
    showSyncFailure();
}

void WidgetMonitorDisplay::showEvent(QShowEvent *event)
{
    ensureBuilt();
    QWidget::showEvent(event);
}

void WidgetMonitorDisplay::ensureBuilt()
{
    if (ui || !monitor)
        return;
    ui = new Ui::WidgetMonitorDisplay;
    // The form's size is for a page on its own; one already placed keeps its place.
    const QRect placed = geometry();
    ui->setupUi(this);
    if (parentWidget())
        setGeometry(placed);
    // A long monitor name keeps its start on the first tab and leaves room for the others.
    ui->tabWidgetMonitor->setElideMode(Qt::ElideRight);
    QPalette palette = ui->labelSyncFailure->palette();
    palette.setColor(QPalette::WindowText, QColor(192, 0, 0));
    ui->labelSyncFailure->setPalette(palette);
    setUpTable(ui->tableWidgetFactor,
               {QStringLiteral("监测因子"), QStringLiteral("读值"), QStringLiteral("单位"),
                QStringLiteral("状态"), QStringLiteral("时间")});
    // The columns fill the page; the time stamp is never cut short. Its width is set once
    // rather than fitted to the contents, which would be measured again at every reading.
    QHeaderView *header = ui->tableWidgetFactor->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    header->setSectionResizeMode(4, QHeaderView::Fixed);
    const int margins = 24;
    header->resizeSection(4, ui->tableWidgetFactor->fontMetrics().horizontalAdvance(
                                 QStringLiteral("0000-00-00 00:00:00")) +
                                 margins);

    const QString name = QString::fromStdString(monitor->getUsername());
    ui->tabWidgetMonitor->setTabText(0, name);
    ui->tabWidgetMonitor->setTabToolTip(0, name);
    ui->lineEditName->setText(QString::fromStdString(monitor->getModel()));
    ui->lineEditId->setText(QString::number(monitor->getId()));
    ui->lineEditChannel->setEnabled(false);
    ui->lineEditChannel->clear();

    ui->checkBoxStatus->setChecked(monitor->isRunning());
    ui->checkBoxRecord->setChecked(monitor->isRecord());
    showRunSwitch();
    // Only now: showing the stored switches above is no operator change.
    connect(ui->checkBoxStatus, &QCheckBox::stateChanged, this,
            &WidgetMonitorDisplay::slot_checkBoxStatus_stateChanged);
    connect(ui->checkBoxRecord, &QCheckBox::stateChanged, this,
            &WidgetMonitorDisplay::slot_checkBoxRecord_stateChanged);
    setMaintenanceAllowed(maintenanceAllowed);

    setUpTable(ui->tableWidgetRelay, {QStringLiteral("继电器"), QStringLiteral("开关"),
                                      QStringLiteral("报警点"), QStringLiteral("迟滞量")});
    ui->tableWidgetRelay->setRowCount(2);
    ui->tableWidgetRelay->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    // Exactly the header and the two rows.
    ui->tableWidgetRelay->setFixedHeight(
        ui->tableWidgetRelay->horizontalHeader()->sizeHint().height() +
        2 * ui->tableWidgetRelay->verticalHeader()->defaultSectionSize() +
        2 * ui->tableWidgetRelay->frameWidth());
    fillRelayTable();
    fillFactorTable();
    ui->labelSyncFailure->setText(syncFailure);
}

void WidgetMonitorDisplay::showRunSwitch()
{
    if (!ui)
        return;
    ui->checkBoxRun->setVisible(monitor->isRunning());
    ui->checkBoxRun->setChecked(runLit);
}

void WidgetMonitorDisplay::showReading(int seconds, qint64 stamp)
{
    const MonitorSnapshot snapshot = monitor->snapshot();
    if (!snapshot.synced) {
        interval = seconds;
        emit signal_sync(syncToken());
        return;
    }
    // A sync that finished after this pass may have changed the sensors; its answer, already
    // on its way, rebuilds the rows, and until then the old rows are not filled with them.
    if (!rowsMatch(snapshot))
        return;

    const StampText &time = stampText(stamp ? stamp : QDateTime::currentSecsSinceEpoch());
    const QString &now = time.text;
    const bool recording = monitor->isRecord();
    QTableWidget *table = ui ? ui->tableWidgetFactor : nullptr;
    const int rows = int(factors.size());
    for (int r = 0; r < rows; ++r) {
        const SensorBase &sensor = snapshot.sensors[size_t(r)];
        const FactorResult result = snapshot.result(sensor.factor);
        const QString text = QString::fromStdString(sensor.valueText(result.value));
        const QString status = statusText(result.status);
        FactorRow &row = factors[size_t(r)];
        // A failed exchange carries a value of 0, which would read as a real zero.
        row.value = result.status == 'N' ? text : QStringLiteral("----");
        row.status = status;
        row.time = now;
        if (table) {
            table->item(r, 1)->setText(row.value);
            table->item(r, 3)->setText(status);
            table->item(r, 4)->setText(now);
        }
        graphs[size_t(r)]->addValue(result.value);
        if (r == snapshot.mainIndex) {
            runLit = result.status == 'N';
            if (ui)
                ui->checkBoxRun->setChecked(runLit);
            emit signal_updateResult(text, row.unit, status);
        }
        if (recording)
            record(r, time.utf8, text.toStdString(), status.toStdString());
    }
}

void WidgetMonitorDisplay::recordMissed(qint64 stamp)
{
    if (stamp < readySince)
        return;
    const MonitorSnapshot snapshot = monitor->snapshot();
    if (!snapshot.synced || !rowsMatch(snapshot))
        return;
    const std::string &time = stampText(stamp).utf8;
    const bool recording = monitor->isRecord();
    for (size_t r = 0; r < factors.size(); ++r) {
        // As a failed exchange gives it: the value 0, which the graph shows as such.
        graphs[r]->addValue(0);
        if (recording)
            record(int(r), time, snapshot.sensors[r].valueText(0), "B");
    }
}

void WidgetMonitorDisplay::showLate()
{
    for (size_t r = 0; r < factors.size(); ++r) {
        factors[r].value = QStringLiteral("----");
        factors[r].status = QStringLiteral("B");
        if (ui) {
            ui->tableWidgetFactor->item(int(r), 1)->setText(factors[r].value);
            ui->tableWidgetFactor->item(int(r), 3)->setText(factors[r].status);
        }
    }
    if (monitor->isSynced())
        showStopped();
}

bool WidgetMonitorDisplay::rowsMatch(const MonitorSnapshot &snapshot) const
{
    const size_t rows = snapshot.sensors.size();
    if (rows != factors.size() || rows != graphs.size() || rows > records.size())
        return false;
    for (size_t r = 0; r < rows; ++r) {
        // The record row was made with the factor row.
        if (records[r]->factor != snapshot.sensors[r].factor)
            return false;
    }
    return true;
}

void WidgetMonitorDisplay::record(int row, const std::string &time, const std::string &value,
                                  const std::string &status)
{
    RecordRow *kept = records[size_t(row)];
    kept->time = time;
    kept->value = value;
    kept->status = status;
    handedRows = true;
    handOff->add(*kept);
}

void WidgetMonitorDisplay::updateName()
{
    const std::string name = monitor->getUsername();
    if (ui) {
        ui->tabWidgetMonitor->setTabText(0, QString::fromStdString(name));
        ui->tabWidgetMonitor->setTabToolTip(0, QString::fromStdString(name));
    }
    for (RecordRow *row : records)
        row->name = name;
}

void WidgetMonitorDisplay::setAlarm(const QString &factor, const QString &text)
{
    if (factor == alarmFactor && text == alarmText)
        return;
    markAlarm(false);
    alarmFactor = factor;
    alarmText = text;
    markAlarm(true);
}

void WidgetMonitorDisplay::markAlarm(bool on)
{
    if (alarmFactor.isEmpty() || !ui)
        return;
    QTableWidget *table = ui->tableWidgetFactor;
    for (int r = 0; r < table->rowCount(); ++r) {
        if (!table->item(r, 0) || table->item(r, 0)->text() != alarmFactor)
            continue;
        for (int c = 0; c < table->columnCount(); ++c) {
            QTableWidgetItem *item = table->item(r, c);
            if (!item)
                continue;
            item->setBackground(on ? QBrush(QColor(0xE5, 0x39, 0x35)) : QBrush());
            item->setForeground(on ? QBrush(Qt::white) : QBrush());
            item->setToolTip(on ? alarmText : QString());
        }
    }
}

void WidgetMonitorDisplay::syncMonitor(modbus_t *context)
{
    monitor->sync(context);
}

void WidgetMonitorDisplay::on_pushButtonSync_clicked()
{
    // The operator's sync goes on the wire even while the instrument is demoted.
    monitor->lineHealth().tryNow();
    emit signal_sync(syncToken());
}

void WidgetMonitorDisplay::on_syncDone(void *reader)
{
    ThreadHandOff::acquire();
    if (reader != syncToken())
        return;
    refreshRelays();
    rebuildFactors();
    if (monitor->isSynced()) {
        readySince = QDateTime::currentSecsSinceEpoch();
        runLit = true;
        if (ui)
            ui->checkBoxRun->setChecked(true);
    } else {
        // A monitor that was read before must not go on showing its last reading.
        showStopped();
    }
    showSyncFailure();
}

void WidgetMonitorDisplay::slot_stopRead()
{
    monitor->clearSynced();
    showStopped();
}

void WidgetMonitorDisplay::setMaintenanceAllowed(bool allowed)
{
    maintenanceAllowed = allowed;
    if (!ui)
        return;
    const QString tip = allowed ? QString() : MessageBoxes::administratorRequired();
    ui->checkBoxStatus->setToolTip(tip);
    ui->checkBoxRecord->setToolTip(tip);
}

void WidgetMonitorDisplay::refuseSwitch(QCheckBox *box, bool state)
{
    if (box) {
        const QSignalBlocker quiet(box);
        box->setChecked(state);
    }
    MessageBoxes::rejectWithoutAdministrator();
}

QString WidgetMonitorDisplay::trailName() const
{
    return QStringLiteral("%1 \"%2\",从站 %3")
        .arg(QString::fromStdString(monitor->getModel()),
             QString::fromStdString(monitor->getUsername()))
        .arg(monitor->getId());
}

void WidgetMonitorDisplay::slot_checkBoxStatus_stateChanged(int arg1)
{
    const bool on = arg1 != 0;
    if (on == monitor->isRunning())
        return;
    if (!maintenanceAllowed) {
        // The grid's cell may already show the change it asked for.
        emit signal_updateStatus(monitor->isRunning());
        refuseSwitch(ui ? ui->checkBoxStatus : nullptr, monitor->isRunning());
        return;
    }
    monitor->setRunning(on);
    if (!on) {
        const bool wasSynced = monitor->isSynced();
        // Also when unsynced: a sync still queued must not leave it synced while it is off.
        monitor->clearSynced();
        if (wasSynced)
            showStopped();
    }
    showRunSwitch();
    emit signal_updateStatus(on);
    emit signal_changedMonitor(monitor);
    emit signal_maintenance(on ? QStringLiteral("开启仪表") : QStringLiteral("关闭仪表"),
                            trailName());
}

void WidgetMonitorDisplay::slot_checkBoxRecord_stateChanged(int arg1)
{
    const bool on = arg1 != 0;
    if (on == monitor->isRecord())
        return;
    if (!maintenanceAllowed) {
        refuseSwitch(ui ? ui->checkBoxRecord : nullptr, monitor->isRecord());
        return;
    }
    monitor->setRecord(on);
    emit signal_changedMonitor(monitor);
    emit signal_maintenance(on ? QStringLiteral("开启记录") : QStringLiteral("停止记录"),
                            trailName());
}

void WidgetMonitorDisplay::slot_updateStatus(bool enable)
{
    if (enable == monitor->isRunning())
        return;
    if (ui)
        ui->checkBoxStatus->setChecked(enable);
    else
        slot_checkBoxStatus_stateChanged(enable ? Qt::Checked : Qt::Unchecked);
}

void WidgetMonitorDisplay::slot_updateRecord(bool enable)
{
    if (enable == monitor->isRecord())
        return;
    if (ui)
        ui->checkBoxRecord->setChecked(enable);
    else
        slot_checkBoxRecord_stateChanged(enable ? Qt::Checked : Qt::Unchecked);
}

void WidgetMonitorDisplay::refreshRelays()
{
    relays.clear();
    const MonitorSnapshot snapshot = monitor->snapshot();
    if (snapshot.synced) {
        const QString names[2] = {QStringLiteral("高点控制"), QStringLiteral("低点控制")};
        for (int r = 0; r < 2; ++r) {
            const RelaySnapshot &relay = snapshot.relays[size_t(r)];
            relays.push_back({names[r], relay.on ? QStringLiteral("打开") : QStringLiteral("关闭"),
                              relayText(relay.alarmPoint, relay),
                              relayText(relay.hysteresis, relay)});
        }
    }
    fillRelayTable();
}

void WidgetMonitorDisplay::fillRelayTable()
{
    if (!ui)
        return;
    QTableWidget *table = ui->tableWidgetRelay;
    table->clearContents();
    for (size_t r = 0; r < relays.size(); ++r) {
        for (int c = 0; c < relays[r].size(); ++c)
            table->setItem(int(r), c, centredItem(relays[r].at(c)));
    }
}

void WidgetMonitorDisplay::rebuildFactors()
{
    qDeleteAll(graphs);
    graphs.clear();
    factors.clear();

    const MonitorSnapshot snapshot = monitor->snapshot();
    if (snapshot.synced) {
        // Two record rows: an instrument has at most its main factor and the temperature.
        const int rows = std::min(int(snapshot.sensors.size()), int(records.size()));
        const std::string model = monitor->getModel();
        const std::string name = monitor->getUsername();
        for (int r = 0; r < rows; ++r) {
            const SensorBase &sensor = snapshot.sensors[size_t(r)];
            const QString key = QString::fromStdString(sensor.factor);
            const QString unit = sensor.unit.empty() ? key : QString::fromStdString(sensor.unit);
            factors.push_back({key, unit, QString(), QStringLiteral("B"), QString()});

            // Kept hidden on the page until it is built, which moves it into a tab.
            auto *graph = new WidgetAxesDisplay(this);
            graph->hide();
            graph->setValueRange(sensor.minimum, sensor.maximum);
            graph->setPrecision(sensor.decimals);
            graph->setAxisLabel(unit);
            graph->setInterval(interval);
            if (sensor.controlled) {
                const RelaySnapshot &high = snapshot.relays[0];
                const RelaySnapshot &low = snapshot.relays[1];
                graph->setHighPointVisible(high.on);
                if (high.on)
                    graph->setHighPoint(high.alarmPoint);
                graph->setLowPointVisible(low.on);
                if (low.on)
                    graph->setLowPoint(low.alarmPoint);
            }
            graphs.push_back(graph);

            RecordRow *row = records[size_t(r)];
            row->model = model;
            row->name = name;
            row->slave = monitor->getId();
            row->channel = r;
            row->factor = sensor.factor;
            row->unit = unit.toStdString();
            row->value.clear();
            row->status = "F";
        }
    }
    fillFactorTable();
}

void WidgetMonitorDisplay::fillFactorTable()
{
    if (!ui)
        return;
    QTabWidget *tabs = ui->tabWidgetMonitor;
    while (tabs->count() > 1)
        tabs->removeTab(tabs->count() - 1);
    tabs->setCurrentIndex(0);
    QTableWidget *table = ui->tableWidgetFactor;
    table->setRowCount(int(factors.size()));
    for (size_t r = 0; r < factors.size(); ++r) {
        const FactorRow &row = factors[r];
        const int i = int(r);
        table->setItem(i, 0, centredItem(row.factor));
        table->setItem(i, 1, centredItem(row.value));
        table->setItem(i, 2, centredItem(row.unit));
        table->setItem(i, 3, centredItem(row.status));
        table->setItem(i, 4, centredItem(row.time));
        tabs->addTab(graphs[r], row.factor);
    }
    markAlarm(true);
}

void WidgetMonitorDisplay::showStopped()
{
    runLit = false;
    if (ui)
        ui->checkBoxRun->setChecked(false);
    emit signal_updateResult(QStringLiteral("0"), QString(), QStringLiteral("B"));
}

void WidgetMonitorDisplay::showSyncFailure()
{
    const SyncFailure failure = monitor->lastSyncFailure();
    syncFailure = monitor->isSynced() ? QString() : QString::fromStdString(failure.text());
    if (ui)
        ui->labelSyncFailure->setText(syncFailure);
    emit signal_updateSyncFailure(syncFailure);
}
