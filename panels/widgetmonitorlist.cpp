#include "widgetmonitorlist.h"
#include "ui_widgetmonitorlist.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "instruments/linemonitors.h"
#include "instruments/monitorbase.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "line/pollscheduler.h"
#include "panels/databasetask.h"
#include "panels/linestatusmodel.h"
#include "panels/messageboxes.h"
#include "panels/recordhandoff.h"
#include "panels/widgetcomport.h"
#include "panels/widgetmonitordisplay.h"
#include "panels/widgetmonitorsimple.h"
#include "panels/widgetmonitorsimplelist.h"
#include "settings/configfile.h"
#include "settings/settingsstore.h"
#include "storage/recorddatabase.h"
#include "storage/recordwriter.h"

#include <QCursor>
#include <QDateTime>
#include <QMenu>
#include <QRegularExpressionValidator>
#include <QStackedWidget>
#include <QStandardItemModel>
#include <QStyleFactory>
#include <QThread>

#include <vector>

namespace {

const char *const monitorIcon = ":/res/image/monitor.png";

WidgetMonitorDisplay *displayOf(const MonitorBase *monitor)
{
    const auto found = monitor->views.find(0);
    return found != monitor->views.end() ? static_cast<WidgetMonitorDisplay *>(found->second)
                                         : nullptr;
}

WidgetMonitorSimple *cellOf(const MonitorBase *monitor)
{
    const auto found = monitor->views.find(1);
    return found != monitor->views.end() ? static_cast<WidgetMonitorSimple *>(found->second)
                                         : nullptr;
}

QStandardItem *itemOf(const MonitorBase *monitor)
{
    const auto found = monitor->views.find(2);
    return found != monitor->views.end() ? static_cast<QStandardItem *>(found->second) : nullptr;
}

// Before the page joins the window's stack: built there, its form's size would stand until the
// stack's next layout.
void buildPage(const MonitorBase *monitor)
{
    if (WidgetMonitorDisplay *display = displayOf(monitor))
        display->ensureBuilt();
}

MonitorBase *monitorOf(const QStandardItem *item)
{
    return static_cast<MonitorBase *>(item->data(WidgetMonitorList::MonitorRole).value<void *>());
}

void refuseName(const QString &text)
{
    MessageBoxes::warning(QStringLiteral("警告"), text, QMessageBox::Ok, QMessageBox::Ok);
}

const char *const nameTaken = "仪表名称重复,请更换其它名称";
const char *const nameUnusable = "仪表名称不能包含控制字符,请更换其它名称";

// Hands each sync answer of `reader` to the page that asked. Connected once per line rather
// than once per page: every answer would otherwise be queued to every page of the station.
void wireSyncAnswers(QObject *context, ComPortReader *reader, const MonitorCollection *monitors)
{
    QObject::connect(reader, &ComPortReader::signal_syncDone, context, [monitors](void *token) {
        for (MonitorBase *monitor : monitors->getMonitors()) {
            WidgetMonitorDisplay *display = displayOf(monitor);
            if (display && display->syncToken() == token) {
                display->on_syncDone(token);
                return;
            }
        }
    });
}

} // namespace

WidgetMonitorList::WidgetMonitorList(QWidget *parent)
    : QWidget(parent), ui(new Ui::WidgetMonitorList), simpleList(nullptr), model(nullptr),
      rootItem(nullptr), monitorConfig(nullptr), changed(false), menu(new QMenu(this)),
      alarmThread(new QThread), alarmWriter(new RecordWriter)
{
    ui->setupUi(this);
    ui->labelPace->hide();
    connect(&AlarmRules::instance(), &AlarmRules::signal_log, alarmWriter, &RecordWriter::alarm,
            Qt::QueuedConnection);
    ThreadHandOff::start(alarmWriter, alarmThread);
    ui->lineEditReadInterval->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]+$")), ui->lineEditReadInterval));

    actionShow = menu->addAction(QStringLiteral("显示"));
    actionRename = menu->addAction(QStringLiteral("重命名"));
    actionRemove = menu->addAction(QStringLiteral("删除"));
    connect(actionShow, &QAction::triggered, this, &WidgetMonitorList::slot_show);
    connect(actionRename, &QAction::triggered, this, &WidgetMonitorList::slot_rename);
    connect(actionRemove, &QAction::triggered, this, &WidgetMonitorList::slot_remove);
    QTreeView *tree = ui->treeViewMonitor;
    // Three levels in a narrow column: the names keep what room there is.
    tree->setIndentation(12);
    tree->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(tree, &QWidget::customContextMenuRequested, this,
            &WidgetMonitorList::slot_popRightMenu);
    if (QStyle *style = QStyleFactory::create(QStringLiteral("windows"))) {
        style->setParent(tree);
        tree->setStyle(style);
    }
    connect(tree, &QTreeView::clicked, this, &WidgetMonitorList::slot_selectItem);
    connect(tree, &QTreeView::activated, this, &WidgetMonitorList::slot_selectItem);

    model = new QStandardItemModel(tree);
    model->setHorizontalHeaderLabels({QStringLiteral("All Monitors")});
    tree->setModel(model);
    connect(model, &QStandardItemModel::itemChanged, this, &WidgetMonitorList::slot_itemChanged);

    rootItem = new QStandardItem(QIcon(QLatin1String(monitorIcon)), QStringLiteral("所有仪表"));
    rootItem->setData(0, KindRole);
    rootItem->setEditable(false);
    model->appendRow(rootItem);

    monitorConfig = static_cast<ConfigFile *>(AppContext::instance().object(MonitorConfig));
    makeLine();
    connect(lines[0].scheduler, &PollScheduler::signal_read, this, &WidgetMonitorList::signal_read);
}

WidgetMonitorList::~WidgetMonitorList()
{
    for (const Line &line : lines)
        line.scheduler->stop();
    // No pass or sync still queued may find its monitor or panel gone.
    waitForReader();
    const std::vector<MonitorBase *> all = monitors.getMonitors();
    for (MonitorBase *monitor : all) {
        monitors.remove(monitor);
        delete displayOf(monitor);
        delete monitor;
    }
    // The clears of the monitors just removed are stored with the rest.
    RecordWriter::stopThread(alarmWriter, alarmThread);
    delete alarmThread;
    delete ui;
}

void WidgetMonitorList::resumeOpenAlarms()
{
    // Before the line can be switched on, so that no reading comes before them. The query is
    // one small table, read once at start.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    auto *database = static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    if (!database || !database->isOpen())
        return;
    std::vector<AlarmRow> open;
    if (database->openAlarms(open, int(AlarmRules::maxRecovered)) != 0) {
        // They cannot be taken over: closed as the earlier run's, before any change of this one.
        QMetaObject::invokeMethod(alarmWriter, "clearOpenAlarms", Qt::QueuedConnection,
                                  Q_ARG(qint64, now));
        return;
    }
    for (const AlarmRow &row : open) {
        AlarmEvent alarm;
        alarm.kind = -1;
        for (int kind = AlarmEvent::High; kind <= AlarmEvent::CommsLoss; ++kind) {
            if (row.kind == AlarmEvent::kindText(kind))
                alarm.kind = kind;
        }
        // Not a row of this station's rules: nothing here could judge or name it.
        if (alarm.kind < 0)
            continue;
        alarm.row = row.id;
        alarm.name = row.name;
        alarm.slave = row.slave;
        alarm.channel = row.channel;
        alarm.factor = row.factor;
        alarm.value = row.value;
        alarm.alarmPoint = row.alarmPoint;
        alarm.raised = row.raised;
        alarm.acked = row.acked;
        alarm.cleared = row.cleared;
        for (int reason = AlarmEvent::Recovered; reason <= AlarmEvent::Duplicate; ++reason) {
            if (row.reason == AlarmEvent::reasonText(reason))
                alarm.reason = reason;
        }
        // Its monitor, by name and address, if it is read at all.
        for (MonitorBase *monitor : monitors.getMonitors()) {
            if (monitor->isRunning() && monitor->getId() == row.slave &&
                monitor->getUsername() == row.name)
                alarm.monitor = monitor;
        }
        AlarmRules::instance().resume(alarm, now, AlarmEvent::NotWatched);
    }
}

void WidgetMonitorList::makeLine()
{
    const int index = int(lines.size());
    lines.emplace_back();
    Line &line = lines.back();
    line.monitors = std::make_unique<LineMonitors>(&monitors, index);
    line.scheduler = new PollScheduler(line.monitors.get(), this);
    connect(line.scheduler, &PollScheduler::signal_late, this, [this, index] { showLate(index); });
}

void WidgetMonitorList::setComPort(WidgetComPort *port)
{
    lines[0].port = port;
    if (port)
        wireSyncAnswers(this, port->getReader(), &monitors);
    lines[0].scheduler->setLineStatistics(port ? &port->getComPortCtrl()->statistics() : nullptr);
}

int WidgetMonitorList::addLine(WidgetComPort *port)
{
    makeLine();
    const int index = int(lines.size()) - 1;
    Line &line = lines.back();
    line.port = port;
    line.scheduler->setLineStatistics(&port->getComPortCtrl()->statistics());
    connect(line.scheduler, &PollScheduler::signal_read, port, &WidgetComPort::on_read);
    connect(port, &WidgetComPort::signal_comPort, this,
            [this, index](bool on) { switchLine(index, on); });
    connect(port->getReader(), &ComPortReader::signal_readDone, this,
            [this, index](const PassPlan &plan) { lineReadDone(index, plan); });
    wireSyncAnswers(this, port->getReader(), &monitors);
    return index;
}

WidgetComPort *WidgetMonitorList::linePanel(int line) const
{
    return line >= 0 && line < int(lines.size()) ? lines[size_t(line)].port.data() : nullptr;
}

const PollScheduler *WidgetMonitorList::pollScheduler(int line) const
{
    return line >= 0 && line < int(lines.size()) ? lines[size_t(line)].scheduler : nullptr;
}

void *WidgetMonitorList::readToken(int line) const
{
    return lines[size_t(line)].monitors->readToken();
}

bool WidgetMonitorList::isLineOn() const
{
    return std::any_of(lines.begin(), lines.end(), [](const Line &line) { return line.on; });
}

bool WidgetMonitorList::isLineOn(int line) const
{
    return line >= 0 && line < int(lines.size()) && lines[size_t(line)].on;
}

void WidgetMonitorList::init(QWidget *simpleListPage)
{
    std::vector<std::string> lineNames;
    for (const Line &line : lines) {
        if (line.port)
            lineNames.push_back(line.port->getComPortCtrl()->getName());
    }
    if (monitorConfig) {
        if (lineNames.size() == lines.size())
            monitorConfig->readMonitors(&monitors, lineNames);
        else
            monitorConfig->readMonitors(&monitors);
    }
    resumeOpenAlarms();
    for (size_t i = 0; i < lines.size(); ++i) {
        const QString name =
            i < lineNames.size() ? QString::fromStdString(lineNames[i]) : QString();
        auto *item =
            new QStandardItem(name.isEmpty() ? QString::fromUtf8(ConfigFile::firstLineName) : name);
        item->setToolTip(item->text());
        item->setData(LineKind, KindRole);
        item->setData(int(i), LineRole);
        item->setEditable(false);
        rootItem->appendRow(item);
        lines[i].item = item;
    }

    simpleList = qobject_cast<WidgetMonitorSimpleList *>(simpleListPage);
    if (simpleList)
        connect(simpleList, &WidgetMonitorSimpleList::signal_activeMonitor, this,
                &WidgetMonitorList::slot_activeMonitor);
    ui->lineEditReadInterval->setText(QString::number(monitors.getInterval()));
    for (MonitorBase *monitor : monitors.getMonitors())
        addMonitorItem(monitor);
    // Only now: showing the stored interval above is no edit.
    connect(ui->lineEditReadInterval, &QLineEdit::textChanged, this,
            &WidgetMonitorList::slot_lineEditReadInterval_textChanged);
    connect(ui->lineEditReadInterval, &QLineEdit::editingFinished, this,
            &WidgetMonitorList::reportInterval);
    changed = false;
    reportedInterval = monitors.getInterval();

    ui->treeViewMonitor->expandAll();
    selectRoot();
}

void WidgetMonitorList::addMonitorItem(MonitorBase *monitor)
{
    const QString name = QString::fromStdString(monitor->getUsername());
    auto *item = new QStandardItem(QIcon(QLatin1String(monitorIcon)), name);
    // The tree cuts a long name.
    item->setToolTip(name);
    item->setData(1, KindRole);
    item->setData(QVariant::fromValue(static_cast<void *>(monitor)), MonitorRole);
    monitor->views[2] = item;
    WidgetComPort *port = linePanel(monitor->getLineIndex());

    auto *display = new WidgetMonitorDisplay;
    display->setMonitor(monitor);
    // Key 0 never names a deleted panel, whoever deletes it.
    connect(display, &QObject::destroyed, this, [monitor] { monitor->views.erase(0); });
    connect(display, &WidgetMonitorDisplay::signal_changedMonitor, this,
            &WidgetMonitorList::slot_changedMonitor);
    display->setMaintenanceAllowed(maintenanceAllowed);
    connect(display, &WidgetMonitorDisplay::signal_maintenance, this,
            &WidgetMonitorList::signal_maintenance);
    // The answers come back through the line's one dispatcher (wireSyncAnswers).
    if (port)
        connect(display, &WidgetMonitorDisplay::signal_sync, port, &WidgetComPort::on_sync);

    auto *cell = new WidgetMonitorSimple;
    cell->setMonitor(monitor);
    cell->setName(name);
    connect(display, &WidgetMonitorDisplay::signal_updateResult, cell,
            &WidgetMonitorSimple::slot_updateResult);
    connect(display, &WidgetMonitorDisplay::signal_updateStatus, cell,
            &WidgetMonitorSimple::slot_updateStatus);
    connect(display, &WidgetMonitorDisplay::signal_updateSyncFailure, cell,
            &WidgetMonitorSimple::slot_updateSyncFailure);
    // A sync (the operator's 同步 above all) may promote the monitor between two passes.
    connect(display, &WidgetMonitorDisplay::signal_updateSyncFailure, this, [this, monitor] {
        if (isLineOn(monitor->getLineIndex()))
            showDemotion(monitor, LineStatusModel::demotionText(monitor->healthSnapshot()));
    });
    connect(cell, &WidgetMonitorSimple::signal_updateStatus, display,
            &WidgetMonitorDisplay::slot_updateStatus);
    connect(cell, &WidgetMonitorSimple::signal_updateRecord, display,
            &WidgetMonitorDisplay::slot_updateRecord);
    if (simpleList) {
        simpleList->addCell(cell);
    } else {
        // Without a grid the cell only mirrors the panel, unseen.
        cell->setParent(this);
        cell->hide();
    }

    lineItem(monitor)->appendRow(item);
}

QStandardItem *WidgetMonitorList::lineItem(const MonitorBase *monitor)
{
    const int line = monitor->getLineIndex();
    if (line >= 0 && line < int(lines.size()) && lines[size_t(line)].item)
        return lines[size_t(line)].item;
    const QString name = QString::fromStdString(monitor->getLine());
    for (QStandardItem *item : unknownLines) {
        if (item->data(Qt::UserRole).toString() == name)
            return item;
    }
    // Kept and shown, not polled: the operator sees what the file names.
    auto *item = new QStandardItem(name + QStringLiteral("（线路不存在，不采集）"));
    item->setData(name, Qt::UserRole);
    item->setData(LineKind, KindRole);
    item->setData(-1, LineRole);
    item->setEditable(false);
    item->setForeground(QBrush(Qt::gray));
    item->setToolTip(item->text());
    rootItem->appendRow(item);
    unknownLines.push_back(item);
    return item;
}

MonitorBase *WidgetMonitorList::addMonitor(const QString &modelName, const QString &userName,
                                           int id, int channel, int line)
{
    const std::string name = userName.toStdString();
    if (line < 0 || line >= int(lines.size()))
        return nullptr;
    for (const MonitorBase *monitor : monitors.getMonitors()) {
        if (monitor->getId() == id && monitor->getLineIndex() == line) {
            refuseName(QStringLiteral("id已被使用"));
            return nullptr;
        }
        if (monitor->getUsername() == name) {
            refuseName(QString::fromUtf8(nameTaken));
            return nullptr;
        }
    }
    if (ConfigFile::hasControlCharacter(name)) {
        refuseName(QString::fromUtf8(nameUnusable));
        return nullptr;
    }
    // Created off the list, so that no pass of its line meets it before its line is set.
    MonitorCollection factory;
    MonitorBase *monitor = factory.create(modelName.toStdString(), name, id, channel, true, true);
    if (!monitor)
        return nullptr;
    // Line 0 is written without a name, as files of one line always were.
    if (line > 0)
        monitor->setLine(lines[size_t(line)].port->getComPortCtrl()->getName());
    monitor->setLineIndex(line);
    monitors.append(monitor);
    addMonitorItem(monitor);
    ui->treeViewMonitor->setCurrentIndex(itemOf(monitor)->index());
    ui->treeViewMonitor->setFocus();
    if (monitorConfig) {
        monitorConfig->appendMonitor(monitor);
        storeConfig();
    }
    return monitor;
}

void WidgetMonitorList::selectRoot()
{
    ui->treeViewMonitor->setFocus();
    ui->treeViewMonitor->setCurrentIndex(rootItem->index());
    emit signal_activeMonitorSimpleList();
}

void WidgetMonitorList::setMaintenanceAllowed(bool allowed)
{
    maintenanceAllowed = allowed;
    // Disabled, the interval still shows what is set.
    ui->lineEditReadInterval->setEnabled(allowed);
    ui->lineEditReadInterval->setToolTip(allowed ? QString()
                                                 : MessageBoxes::administratorRequired());
    QTreeView *tree = ui->treeViewMonitor;
    tree->setEditTriggers(allowed
                              ? QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed
                              : QAbstractItemView::NoEditTriggers);
    for (const MonitorBase *monitor : monitors.getMonitors())
        if (WidgetMonitorDisplay *display = displayOf(monitor))
            display->setMaintenanceAllowed(allowed);
}

void WidgetMonitorList::saveConfig()
{
    reportInterval();
    if (changed)
        storeMonitors();
}

int WidgetMonitorList::showSettingsProblems()
{
    QStringList problems;
    std::vector<ConfigFile *> configs;
    for (int kind : {ComPortConfig, LinesConfig, MonitorConfig, MqttConfig, Hj212Config}) {
        auto *config = static_cast<ConfigFile *>(AppContext::instance().object(kind));
        if (!config)
            continue;
        configs.push_back(config);
        for (const std::string &problem : config->problems())
            problems << QString::fromStdString(problem);
    }
    if (!problems.isEmpty())
        MessageBoxes::critical(QStringLiteral("错误"), problems.join(QLatin1Char('\n')));
    // Only now may a file that could not be loaded be replaced: its copy has been named.
    for (ConfigFile *config : configs)
        config->markProblemsShown();
    return problems.size();
}

void WidgetMonitorList::slot_selectItem(QModelIndex index)
{
    const QStandardItem *item = model->itemFromIndex(index);
    if (!item)
        return;
    const int kind = item->data(KindRole).toInt();
    if (kind == 1) {
        MonitorBase *monitor = monitorOf(item);
        buildPage(monitor);
        emit signal_activeLine(monitor->getLineIndex());
        emit signal_activeMonitor(monitor);
        return;
    }
    if (kind == LineKind)
        emit signal_activeLine(item->data(LineRole).toInt());
    emit signal_activeMonitorSimpleList();
}

void WidgetMonitorList::slot_activeMonitor(MonitorBase *monitor)
{
    if (QStandardItem *item = itemOf(monitor))
        ui->treeViewMonitor->setCurrentIndex(item->index());
    buildPage(monitor);
    emit signal_activeLine(monitor->getLineIndex());
    emit signal_activeMonitor(monitor);
}

void WidgetMonitorList::slot_changedMonitor(MonitorBase *)
{
    storeMonitors();
}

void WidgetMonitorList::slot_itemChanged(QStandardItem *item)
{
    if (item->data(KindRole).toInt() != 1)
        return;
    MonitorBase *monitor = monitorOf(item);
    const std::string name = item->text().toStdString();
    const std::string current = monitor->getUsername();
    if (name == current)
        return;
    // An editor opened before the sign-out may still commit.
    if (!maintenanceAllowed) {
        item->setText(QString::fromStdString(current));
        MessageBoxes::rejectWithoutAdministrator();
        return;
    }
    // An empty name would leave the monitor without a name in the tree, the grid and its
    // records: the edit is taken back.
    bool taken = false;
    for (const MonitorBase *other : monitors.getMonitors())
        taken = taken || other->getUsername() == name;
    // A control character (a NUL above all, which the database cuts) would let a name merge
    // with a shorter one in the records.
    const bool unusable = ConfigFile::hasControlCharacter(name);
    if (name.empty() || taken || unusable) {
        if (taken)
            refuseName(QString::fromUtf8(nameTaken));
        else if (unusable)
            refuseName(QString::fromUtf8(nameUnusable));
        item->setText(QString::fromStdString(current));
        return;
    }
    monitor->setUsername(name);
    const QString demotion = item->data(DemotionRole).toString();
    item->setToolTip(demotion.isEmpty() ? item->text()
                                        : item->text() + QLatin1Char('\n') + demotion);
    storeMonitors();
    emit signal_maintenance(
        QStringLiteral("重命名仪表"),
        QStringLiteral("\"%1\" → \"%2\"").arg(QString::fromStdString(current), item->text()));
    if (WidgetMonitorDisplay *display = displayOf(monitor))
        display->updateName();
    if (WidgetMonitorSimple *cell = cellOf(monitor))
        cell->setName(item->text());
}

void WidgetMonitorList::slot_lineEditReadInterval_textChanged(const QString &arg1)
{
    changed = true;
    bool ok = false;
    const qulonglong seconds = arg1.toULongLong(&ok);
    // Digits too many for a number are as long as the longest interval.
    monitors.setInterval(ok ? int(std::min<qulonglong>(seconds, MonitorCollection::maxInterval))
                         : arg1.isEmpty() ? 0
                                          : MonitorCollection::maxInterval);
}

void WidgetMonitorList::slot_popRightMenu(const QPoint &pos)
{
    QTreeView *tree = ui->treeViewMonitor;
    QStandardItem *item = model->itemFromIndex(tree->indexAt(pos));
    if (!item || item->data(KindRole).toInt() != 1)
        return;
    tree->setCurrentIndex(item->index());
    tree->setFocus();
    menu->popup(QCursor::pos());
}

void WidgetMonitorList::slot_show()
{
    slot_selectItem(ui->treeViewMonitor->currentIndex());
}

void WidgetMonitorList::slot_rename()
{
    if (!maintenanceAllowed) {
        MessageBoxes::rejectWithoutAdministrator();
        return;
    }
    ui->treeViewMonitor->edit(ui->treeViewMonitor->currentIndex());
}

void WidgetMonitorList::slot_remove()
{
    QStandardItem *item = model->itemFromIndex(ui->treeViewMonitor->currentIndex());
    if (!item || item->data(KindRole).toInt() != 1)
        return;
    if (!maintenanceAllowed) {
        MessageBoxes::rejectWithoutAdministrator();
        return;
    }
    if (isLineOn()) {
        MessageBoxes::rejectWhileRunning();
        return;
    }
    const QString shown = item->text();
    const QString quoted = QLatin1Char('"') + shown + QLatin1Char('"');
    if (MessageBoxes::warning(
            QStringLiteral("警告"), QStringLiteral("确认删除") + quoted + QLatin1Char('?'),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::No) != QMessageBox::Yes)
        return;

    MonitorBase *monitor = monitorOf(item);
    // A sync asked for by its panel may still be queued to the reader.
    waitForReader();
    if (WidgetMonitorDisplay *display = displayOf(monitor)) {
        if (auto *stack = qobject_cast<QStackedWidget *>(display->parentWidget()))
            stack->removeWidget(display);
        // Stores every row its writer still holds before the records may be deleted below.
        delete display;
    }
    if (simpleList) {
        if (WidgetMonitorSimple *cell = cellOf(monitor))
            simpleList->removeCell(cell);
    }
    // The table deletes the cell later: the clear of the monitor's alarms must not reach it.
    monitor->views.erase(1);
    item->parent()->removeRow(item->row());
    monitors.remove(monitor);
    if (monitorConfig) {
        monitorConfig->removeMonitor(monitor);
        storeConfig();
    }

    // Records are kept by name: while another monitor still has this name (a Monitor.json
    // edited by hand), its history is the other's too and stays.
    bool shared = false;
    for (const MonitorBase *other : monitors.getMonitors())
        shared = shared || other->getUsername() == monitor->getUsername();
    QString history = QStringLiteral("历史数据保留");
    if (shared) {
        MessageBoxes::information(QStringLiteral("通知"),
                                  QStringLiteral("其他仪表仍在使用名称") + quoted +
                                      QStringLiteral(",其历史数据已保留。"));
    } else if (MessageBoxes::warning(
                   QStringLiteral("警告"),
                   QStringLiteral("是否同时删除") + quoted + QStringLiteral("的历史数据？"),
                   QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes) {
        if (auto *database =
                static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb))) {
            // Compacting a large file takes minutes: on a worker, the window kept alive.
            const std::string name = monitor->getUsername();
            DatabaseTask task(QStringLiteral("正在删除历史数据..."),
                              [database, name](const DatabaseTask::Progress &) {
                                  const int result = database->removeByName(name);
                                  database->vacuum();
                                  return result;
                              });
            if (task.exec(window()) == 0) {
                history = QStringLiteral("历史数据已删除");
            } else {
                history = QStringLiteral("历史数据删除失败");
                // One statement: when it fails, every row of the name is still there.
                MessageBoxes::critical(QStringLiteral("错误"),
                                       QStringLiteral("删除") + quoted +
                                           QStringLiteral("的历史数据失败!\n历史数据未被删除。"));
            }
        }
    }
    emit signal_maintenance(QStringLiteral("删除仪表"),
                            QStringLiteral("%1 %2,从站 %3,%4")
                                .arg(QString::fromStdString(monitor->getModel()), quoted)
                                .arg(monitor->getId())
                                .arg(history));
    delete monitor;
    selectRoot();
}

void WidgetMonitorList::on_readTimer()
{
    lines[0].scheduler->tick();
}

void WidgetMonitorList::on_readDone(const PassPlan &plan)
{
    lineReadDone(0, plan);
}

void WidgetMonitorList::lineReadDone(int line, const PassPlan &plan)
{
    ThreadHandOff::acquire();
    const int interval = monitors.getInterval();
    const std::vector<MonitorBase *> all = monitors.getMonitors();
    const qint64 stamp = plan.time();
    const RecordHandOff::Pass pass;
    for (MonitorBase *monitor : all) {
        if (monitor->getLineIndex() != line)
            continue;
        showDemotion(monitor, LineStatusModel::demotionText(monitor->healthSnapshot()));
        if (!monitor->isRunning())
            continue;
        if (WidgetMonitorDisplay *display = displayOf(monitor)) {
            for (const qint64 missed : plan.missed)
                display->recordMissed(missed);
            display->showReading(interval, stamp);
        }
    }
    // Only now: the next pass, which may be asked for at once, writes into the monitors.
    lines[size_t(line)].scheduler->passDone();
    showPace();
}

void WidgetMonitorList::showLate(int line)
{
    for (MonitorBase *monitor : monitors.getMonitors()) {
        if (!monitor->isRunning() || monitor->getLineIndex() != line)
            continue;
        if (WidgetMonitorDisplay *display = displayOf(monitor))
            display->showLate();
    }
}

void WidgetMonitorList::showPace()
{
    // Kept after the line is switched off: that is when the interval can be changed.
    bool changedPace = false;
    for (Line &line : lines) {
        const bool keeps = line.scheduler->keepsInterval();
        changedPace = changedPace || keeps != line.keepsInterval;
        line.keepsInterval = keeps;
    }
    if (!changedPace)
        return;
    QStringList names;
    int shortest = 0;
    for (const Line &line : lines) {
        if (line.keepsInterval || !line.port)
            continue;
        const ComPortCtrl *ctrl = line.port->getComPortCtrl();
        names << QString::fromStdString(ctrl->getName());
        shortest = std::max(
            shortest, line.port->getComPortCtrl()->statistics().snapshot().shortestIntervalSeconds);
    }
    const bool keeps = std::all_of(lines.begin(), lines.end(),
                                   [](const Line &line) { return line.keepsInterval; });
    QString text;
    if (!keeps) {
        text =
            QStringLiteral("线路跟不上此间隔，正按其能力连续采集；最短可保持 %1 秒").arg(shortest);
        if (lines.size() > 1)
            text = names.join(QStringLiteral("、")) + QStringLiteral("：") + text;
    }
    ui->labelPace->setText(text);
    ui->labelPace->setVisible(!keeps);
}

void WidgetMonitorList::showDemotion(MonitorBase *monitor, const QString &text)
{
    WidgetMonitorSimple *cell = cellOf(monitor);
    // The common case, every pass: the cell and the tree entry, which change together, show no
    // demotion and there is none.
    if (text.isEmpty() && cell && !cell->isDemoted())
        return;
    if (cell)
        cell->setDemotion(text);
    QStandardItem *item = itemOf(monitor);
    if (!item || item->data(DemotionRole).toString() == text)
        return;
    const QString name = QString::fromStdString(monitor->getUsername());
    // Only the entry and the end go to the log; the text's countdown changes every pass.
    const bool wasDemoted = !item->data(DemotionRole).toString().isEmpty();
    if (wasDemoted != !text.isEmpty()) {
        if (text.isEmpty())
            qInfo("hydrovane: 仪表 %s 已恢复应答", name.toUtf8().constData());
        else
            qWarning("hydrovane: 仪表 %s %s", name.toUtf8().constData(),
                     text.simplified().toUtf8().constData());
    }
    item->setData(text, DemotionRole);
    item->setToolTip(text.isEmpty() ? name : name + QLatin1Char('\n') + text);
    item->setForeground(text.isEmpty() ? QBrush() : QBrush(Qt::gray));
}

void WidgetMonitorList::on_comPort(bool status)
{
    switchLine(0, status);
}

void WidgetMonitorList::switchLine(int index, bool on)
{
    Line &line = lines[size_t(index)];
    line.on = on;
    if (on) {
        // Counted from this switch-on.
        monitors.resetHealth(index);
        ui->lineEditReadInterval->setReadOnly(true);
        line.scheduler->start(monitors.getInterval());
        return;
    }
    line.scheduler->stop();
    ui->lineEditReadInterval->setReadOnly(isLineOn());
    // The reader has stopped: nothing of the line is watched any more, so nothing of it stays
    // alarmed.
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (!isLineOn())
        AlarmRules::instance().stopAll(now, AlarmEvent::LineOff);
    // Nothing is tried while the line is off, and switching on starts every monitor afresh.
    for (MonitorBase *monitor : monitors.getMonitors()) {
        if (monitor->getLineIndex() != index)
            continue;
        if (isLineOn())
            AlarmRules::instance().monitorStopped(monitor, now, AlarmEvent::LineOff);
        showDemotion(monitor, QString());
        if (WidgetMonitorDisplay *display = displayOf(monitor))
            display->slot_stopRead();
    }
}

void WidgetMonitorList::storeMonitors()
{
    if (!monitorConfig) {
        changed = false;
        return;
    }
    monitorConfig->writeMonitors(&monitors);
    changed = false;
    storeConfig();
}

void WidgetMonitorList::setAlarmFilter(MonitorBase *monitor, const AlarmFilter *filter)
{
    if (monitor)
        monitor->setOwnAlarmFilter(filter);
    else if (filter)
        monitors.setAlarmFilter(*filter);
    storeMonitors();
}

void WidgetMonitorList::storeConfig()
{
    // The document holds the change; marked changed, a later store or the exit writes it.
    if (MessageBoxes::storeSettings(monitorConfig) != SettingsStore::Stored)
        changed = true;
}

void WidgetMonitorList::reportInterval()
{
    const int interval = monitors.getInterval();
    if (interval == reportedInterval)
        return;
    emit signal_maintenance(QStringLiteral("修改采集间隔"),
                            QStringLiteral("%1 秒 → %2 秒").arg(reportedInterval).arg(interval));
    reportedInterval = interval;
}

void WidgetMonitorList::waitForReader()
{
    for (const Line &line : lines) {
        if (line.port)
            line.port->waitForReader();
    }
}
