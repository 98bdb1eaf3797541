#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "acquisition/alarmrules.h"
#include "app/appcontext.h"
#include "app/dialogabout.h"
#include "app/dialogaccount.h"
#include "app/dialoghj212.h"
#include "app/dialogmqtt.h"
#include "app/dialogrunsettings.h"
#include "app/stationlog.h"
#include "history/dialogalarms.h"
#include "history/dialogaudit.h"
#include "history/dialogbec.h"
#include "history/dialogsearch.h"
#include "history/excelwriter.h"
#include "instruments/monitorbase.h"
#include "line/comportctrl.h"
#include "line/comportreader.h"
#include "panels/alarmpresenter.h"
#include "panels/databasetask.h"
#include "panels/desktopopener.h"
#include "panels/dialogaddmonitor.h"
#include "panels/dialogalarmfilter.h"
#include "panels/dialoglinestatus.h"
#include "panels/diskstatuslabel.h"
#include "panels/filedialogs.h"
#include "panels/hj212statuslabel.h"
#include "panels/messageboxes.h"
#include "panels/mqttstatuslabel.h"
#include "panels/widgetmonitordisplay.h"
#include "settings/configfile.h"
#include "storage/accounts.h"
#include "storage/autobackup.h"
#include "storage/diskguard.h"
#include "storage/recorddatabase.h"
#include "storage/recordingstatus.h"
#include "storage/recordwriter.h"
#include "storage/userdatabase.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QProgressDialog>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QThread>
#include <QTimer>

#include <memory>
#include <algorithm>

namespace {

// How often a stop looks whether what it waits for has ended.
const int stopCheckMs = 20;
// How often the station folder's lock file is looked at: a deleted one lets a second station
// start on a file system without locks on folders.
const int lockCheckMs = 60 * 1000;

RecordDatabase *recordDatabase()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

QString native(const std::string &path)
{
    return QDir::toNativeSeparators(QString::fromStdString(path));
}

QString importRefusal(RecordDatabase::ImportError error)
{
    switch (error) {
    case RecordDatabase::ImportSourceUnreadable:
        return QStringLiteral("所选文件不存在或无法读取。");
    case RecordDatabase::ImportNotStationFile:
        return QStringLiteral("所选文件不是本系统的备份数据库。");
    case RecordDatabase::ImportNotDecryptable:
        return QStringLiteral("所选文件无法解密,不是本系统的数据库。");
    case RecordDatabase::ImportDamaged:
        return QStringLiteral("所选文件已损坏。");
    case RecordDatabase::ImportNoRecordTable:
        return QStringLiteral("所选文件中没有记录表。");
    case RecordDatabase::ImportRecordColumnsMismatch:
        return QStringLiteral("所选文件中记录表的列不符。");
    case RecordDatabase::ImportCopyFailed:
        return QStringLiteral("无法复制所选文件,磁盘可能已满。");
    case RecordDatabase::ImportCannotKeepOld:
        return QStringLiteral("无法在备份文件夹中保留当前数据库。");
    case RecordDatabase::ImportCancelled:
        return QStringLiteral("导入已取消。");
    case RecordDatabase::ImportSwapFailed:
        return QStringLiteral("无法用所选文件替换当前数据库。");
    case RecordDatabase::ImportOk:
        break;
    }
    return QString();
}

QString keptLimitText(int removed)
{
    return QStringLiteral("备份文件夹中只保留最近 %1 个被替换的数据库,已删除较早的 %2 个。")
        .arg(RecordDatabase::keptLimit)
        .arg(removed);
}

// The import's result: all or nothing, and where the replaced file went.
QString importResultText(bool replaced, const RecordDatabase::ImportReport &report)
{
    if (replaced) {
        QString text = QStringLiteral("数据导入成功!");
        if (!report.keptFile.empty())
            text += QStringLiteral("\n原数据库已保存为 %1,可通过导入数据恢复。")
                        .arg(native(report.keptFile));
        if (report.removedKept > 0)
            text += QStringLiteral("\n") + keptLimitText(report.removedKept);
        return text;
    }
    QString text = QStringLiteral("数据导入失败!\n") + importRefusal(report.error);
    if (report.keptFile.empty())
        text += QStringLiteral("\n当前数据库未作任何改动。");
    else
        text += QStringLiteral("\n原数据库未能放回原处,已保存为 %1。").arg(native(report.keptFile));
    return text;
}

} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), running(false), quitRequested(false),
      trayIcon(nullptr), trayMenu(nullptr)
{
    ui->setupUi(this);
    connect(ui->actionAddMonitor, &QAction::triggered, this,
            qOverload<>(&MainWindow::on_addMonitor));
    connect(ui->actionRemoveMonitor, &QAction::triggered, this, &MainWindow::on_removeMonitor);
    connect(ui->actionLineStatus, &QAction::triggered, this, &MainWindow::slot_lineStatus);
    connect(ui->actionMqttSettings, &QAction::triggered, this, &MainWindow::slot_mqttSettings);
    connect(ui->actionHj212Settings, &QAction::triggered, this, &MainWindow::slot_hj212Settings);
    connect(ui->actionAlarmFilter, &QAction::triggered, this, &MainWindow::slot_alarmFilter);
    connect(ui->actionRunSettings, &QAction::triggered, this, &MainWindow::slot_runSettings);
    connect(ui->actionSearchRecord, &QAction::triggered, this, &MainWindow::slot_searchRecord);
    connect(ui->actionAlarmRecord, &QAction::triggered, this, &MainWindow::slot_alarmRecord);
    connect(ui->actionBackupRecord, &QAction::triggered, this, &MainWindow::slot_backupRecord);
    connect(ui->actionClearRecord, &QAction::triggered, this, &MainWindow::slot_clearRecord);
    connect(ui->actionImportRecord, &QAction::triggered, this, &MainWindow::slot_importRecord);
    connect(ui->actionExportRecord, &QAction::triggered, this, &MainWindow::slot_exportRecord);
    connect(ui->actionBec, &QAction::triggered, this, &MainWindow::slot_bec);
    connect(ui->actionUserManual, &QAction::triggered, this, &MainWindow::slot_userManual);
    connect(ui->actionOpenLogFolder, &QAction::triggered, this, &MainWindow::slot_openLogFolder);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::slot_about);
    connect(ui->actionSignIn, &QAction::triggered, this, &MainWindow::slot_signIn);
    connect(ui->actionSignOut, &QAction::triggered, this, &MainWindow::slot_signOut);
    connect(ui->actionChangePassword, &QAction::triggered, this,
            &MainWindow::slot_changePassword);
    connect(ui->actionAddUser, &QAction::triggered, this, &MainWindow::slot_addUser);
    connect(ui->actionDeleteUser, &QAction::triggered, this, &MainWindow::slot_deleteUser);
    connect(ui->actionAuditLog, &QAction::triggered, this, &MainWindow::slot_auditLog);

    WidgetComPort *comPort = ui->widgetComPort;
    WidgetMonitorList *list = ui->widgetMonitorList;
    connect(comPort, &WidgetComPort::signal_comPort, list, &WidgetMonitorList::on_comPort);
    connect(list, &WidgetMonitorList::signal_activeMonitor, this, &MainWindow::on_activeMonitor);
    connect(list, &WidgetMonitorList::signal_activeMonitorSimpleList, this,
            &MainWindow::slot_activeMonitorSimpleList);
    connect(list, &WidgetMonitorList::signal_read, comPort, &WidgetComPort::on_read);
    list->setComPort(comPort);
    connect(comPort->getReader(), &ComPortReader::signal_readDone, list,
            &WidgetMonitorList::on_readDone);
    linePanels.push_back(comPort);
    setUpLines();
    for (WidgetComPort *panel : linePanels)
        watchLine(panel);
    list->init(ui->stackedWidgetMonitorDisplay->widget(0));
    alarms = new AlarmPresenter(ui->widgetAlarmBar, &list->collection(), this);

    // Changes made in the panels go into the trail under whoever made them.
    Accounts &accounts = Accounts::instance();
    connect(list, &WidgetMonitorList::signal_maintenance, this,
            [](const QString &action, const QString &detail) {
                Accounts::instance().audit(action, detail);
            });
    for (WidgetComPort *panel : linePanels)
        connect(panel, &WidgetComPort::signal_maintenance, this,
                [](const QString &action, const QString &detail) {
                    Accounts::instance().audit(action, detail);
                });
    // Whoever is at the keyboard may acknowledge; the trail names them.
    connect(&AlarmRules::instance(), &AlarmRules::signal_acked, this,
            [](const AlarmEvent &alarm) {
                Accounts::instance().audit(
                    QStringLiteral("确认报警"),
                    QStringLiteral("%1 %2 %3")
                        .arg(QString::fromStdString(alarm.name),
                             QString::fromStdString(alarm.factor),
                             QString::fromUtf8(AlarmEvent::kindText(alarm.kind)))
                        .simplified());
            });
    connect(&accounts, &Accounts::signal_userChanged, this, &MainWindow::updateUser);
    connect(&accounts, &Accounts::signal_idleSignedOut, this, &MainWindow::slot_idleSignedOut);
    connect(&accounts, &Accounts::signal_trailChanged, this, &MainWindow::updateTrailState);

    setWindowFlags(Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setWindowTitle(windowTitle() + QStringLiteral("V1.5"));
    setWindowIcon(QIcon(QStringLiteral(":/res/image/app.png")));
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        setFixedSize(screen->geometry().size());
    setWindowState(Qt::WindowMaximized);

    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/res/image/app.png")), this);
    trayIcon->setToolTip(windowTitle());
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::slot_activeSystemTrayIcon);
    trayMenu = new QMenu(this);
    trayMenu->addAction(QStringLiteral("显示系统"), this, &MainWindow::showSystem);
    trayMenu->addAction(QStringLiteral("退出系统"), this, &MainWindow::closeSystem);
    trayIcon->setContextMenu(trayMenu);
    trayIcon->show();

    // Readings that are not stored are shown in the status bar; the state arrives queued from
    // the writers' threads, and its box never opens inside a writer's removal.
    recordingLabel = new QLabel(this);
    recordingLabel->setObjectName(QStringLiteral("labelRecording"));
    recordingLabel->hide();
    statusBar()->addWidget(recordingLabel, 1);
    trailLabel = new QLabel(this);
    trailLabel->setObjectName(QStringLiteral("labelTrail"));
    trailLabel->setStyleSheet(QStringLiteral(
        "QLabel { color: white; background: #c62828; padding: 2px 8px; font-weight: bold; }"));
    trailLabel->hide();
    statusBar()->addWidget(trailLabel);
    mqttLabel = new MqttStatusLabel(this);
    mqttLabel->follow(static_cast<MqttPublisher *>(AppContext::instance().object(MqttOutbox)));
    statusBar()->addPermanentWidget(mqttLabel);
    // The station folder's disk, measured every minute on a worker.
    DiskGuard &disk = DiskGuard::instance();
    diskLabel = new DiskStatusLabel(this);
    diskLabel->follow(&disk);
    statusBar()->addPermanentWidget(diskLabel);
    connect(&disk, &DiskGuard::signal_levelChanged, this, &MainWindow::slot_diskLevelChanged);
    // A log found unwritable later (the disk filled) is told at the next measurement.
    connect(&disk, &DiskGuard::signal_changed, this, &MainWindow::tellLogProblem);
    disk.watch(AppContext::instance().applicationDir());
    hj212Label = new Hj212StatusLabel(this);
    hj212Label->follow(static_cast<Hj212Uploader *>(AppContext::instance().object(Hj212Outbox)));
    statusBar()->addPermanentWidget(hj212Label);
    lockLabel = new QLabel(this);
    lockLabel->setObjectName(QStringLiteral("labelStationLock"));
    lockLabel->setStyleSheet(QStringLiteral("QLabel { color: white; background: #c62828; "
                                            "padding: 2px 8px; font-weight: bold; }"));
    lockLabel->hide();
    statusBar()->addWidget(lockLabel, 1);
    auto *lockCheck = new QTimer(this);
    connect(lockCheck, &QTimer::timeout, this, &MainWindow::slot_checkStationLock);
    lockCheck->start(lockCheckMs);
    autoBackupLabel = new QLabel(this);
    autoBackupLabel->setObjectName(QStringLiteral("labelAutoBackup"));
    autoBackupLabel->setStyleSheet(QStringLiteral("color: red"));
    autoBackupLabel->hide();
    statusBar()->addPermanentWidget(autoBackupLabel);
    autoBackup = new AutoBackup(nullptr, AppContext::instance().applicationDir(), this);
    // From the disk guard's last measurement: the interface thread makes no system call for it.
    autoBackup->setRefusal(
        [] { return DiskGuard::instance().refusal(QStringLiteral("自动备份")); });
    connect(autoBackup, &AutoBackup::signal_started, this,
            [] { qInfo("hydrovane: 自动备份开始"); });
    connect(
        autoBackup, &AutoBackup::signal_finished, this, [this](const AutoBackup::Report &report) {
            const QString problems = report.problems.join(QLatin1Char(' '));
            QString detail = report.copy.isEmpty() ? QStringLiteral("备份失败")
                                                   : QStringLiteral("已写入 ") +
                                                         QDir::toNativeSeparators(report.copy);
            if (!report.secondCopy.isEmpty())
                detail += QStringLiteral(",") + QDir::toNativeSeparators(report.secondCopy);
            if (report.deleted > 0)
                detail += QStringLiteral(",删除较早的自动备份 %1 份").arg(report.deleted);
            if (!problems.isEmpty())
                detail += QStringLiteral(";") + problems;
            Accounts::instance().audit(QStringLiteral("自动备份"), detail);
            if (report.ok) {
                qInfo("hydrovane: 自动备份完成: %s", qUtf8Printable(detail));
                autoBackupLabel->hide();
                return;
            }
            qWarning("hydrovane: 自动备份失败: %s", qUtf8Printable(detail));
            autoBackupLabel->setText(QStringLiteral("自动备份失败(%1)")
                                         .arg(report.time.toString(QStringLiteral("MM-dd hh:mm"))));
            autoBackupLabel->setToolTip(problems);
            autoBackupLabel->show();
        });
    {
        QString problem;
        autoBackup->load(&problem);
        if (!problem.isEmpty())
            qWarning("hydrovane: %s", qUtf8Printable(problem));
    }
    // Once the window is up, so that a missed backup's report finds the status bar.
    QTimer::singleShot(0, autoBackup, [this] { autoBackup->start(); });
    userLabel = new QLabel(this);
    userLabel->setObjectName(QStringLiteral("labelUser"));
    statusBar()->addPermanentWidget(userLabel);
    updateUser();
    const RecordingStatus::Snapshot before = RecordingStatus::instance().snapshot();
    droppedBefore = before.dropped;
    unmatchedBefore = before.unmatched;
    alarmEpisodesTold = before.alarmEpisodes;
    alarmDroppedBefore = before.alarmDropped;
    connect(&RecordingStatus::instance(), &RecordingStatus::signal_changed, this,
            &MainWindow::updateRecordingState, Qt::QueuedConnection);

    outerLoopLevel = QThread::currentThread()->loopLevel() + 1;

    // Once the window is up: what could not be used of the settings files, then whether
    // readings can be stored.
    QTimer::singleShot(0, this, [this] {
        WidgetMonitorList::showSettingsProblems();
        updateRecordingState();
        tellLogProblem();
        checkAdministrators();
    });
}

MainWindow::~MainWindow()
{
    DiskGuard &disk = DiskGuard::instance();
    disk.disconnect(this);
    disk.stop();
    // An exit still waiting for the line is completed: the reader has stopped once this
    // returns, and the settings and queued rows are stored.
    if (leaving) {
        for (WidgetComPort *panel : linePanels)
            panel->waitForReader();
    }
    // What the panels still send while they go (a line that finishes closing, the clears of
    // removed monitors) must not reach a window that is already gone.
    for (QObject *child : findChildren<QObject *>())
        disconnect(child, nullptr, this, nullptr);
    // The monitors' removal below clears their alarms: nothing is left to show them on.
    delete alarms;
    // It reads the panels, which go with the window's other children.
    delete lineStatus;
    if (lockChecker) {
        lockChecker->wait();
        delete lockChecker;
    }
    delete ui;
    if (stopping)
        MessageBoxes::setUnattended(false);
}

void MainWindow::on_addMonitor()
{
    if (rejectWithoutAdministrator() || rejectWhileRunning())
        return;
    DialogAddMonitor dialog(this);
    QStringList names;
    for (const WidgetComPort *panel : linePanels)
        names << QString::fromStdString(panel->getComPortCtrl()->getName());
    dialog.setLines(names, std::max(0, currentLine));
    dialog.exec();
}

void MainWindow::on_addMonitor(const QString &model, const QString &userName, int id, int channel,
                               int line)
{
    // The dialog is modal, but the session may have ended while it was open.
    if (rejectWithoutAdministrator())
        return;
    MonitorBase *monitor = ui->widgetMonitorList->addMonitor(model, userName, id, channel, line);
    if (!monitor)
        return;
    QString detail =
        QStringLiteral("%1 \"%2\",从站 %3,通道 %4").arg(model, userName).arg(id).arg(channel);
    if (linePanels.size() > 1)
        detail += QStringLiteral(",线路 ") +
                  QString::fromStdString(linePanels[size_t(line)]->getComPortCtrl()->getName());
    Accounts::instance().audit(QStringLiteral("添加仪表"), detail);
    on_activeMonitor(monitor);
}

void MainWindow::on_removeMonitor()
{
    if (rejectWithoutAdministrator() || rejectWhileRunning())
        return;
    ui->widgetMonitorList->slot_remove();
}

void MainWindow::slot_lineStatus()
{
    if (!lineStatus)
        lineStatus = new DialogLineStatus(ui->widgetMonitorList, ui->widgetComPort, this);
    lineStatus->show();
    lineStatus->raise();
    lineStatus->activateWindow();
}

void MainWindow::slot_mqttSettings()
{
    if (rejectWithoutAdministrator() || mqttDialog)
        return;
    DialogMqtt dialog(this);
    mqttDialog = &dialog;
    dialog.exec();
}

void MainWindow::slot_hj212Settings()
{
    if (rejectWithoutAdministrator() || hj212Dialog)
        return;
    DialogHj212 dialog(this);
    hj212Dialog = &dialog;
    dialog.exec();
}

void MainWindow::slot_alarmFilter()
{
    if (rejectWithoutAdministrator() || alarmFilterDialog)
        return;
    WidgetMonitorList *list = ui->widgetMonitorList;
    DialogAlarmFilter dialog(list->collection(), this);
    alarmFilterDialog = &dialog;
    // Signed out meanwhile, the dialog is rejected; a monitor removed meanwhile is not set.
    if (dialog.exec() != QDialog::Accepted || !Accounts::instance().isAdministrator())
        return;
    MonitorBase *monitor = dialog.monitor();
    const std::vector<MonitorBase *> &monitors = list->collection().getMonitors();
    if (monitor && std::find(monitors.begin(), monitors.end(), monitor) == monitors.end())
        return;
    const AlarmFilter chosen = dialog.filter();
    const AlarmFilter *before =
        monitor ? monitor->ownAlarmFilter() : &list->collection().getAlarmFilter();
    const QString was =
        before ? DialogAlarmFilter::describe(*before) : QStringLiteral("沿用全部仪表的设置");
    const QString now = dialog.followsAll() ? QStringLiteral("沿用全部仪表的设置")
                                            : DialogAlarmFilter::describe(chosen);
    if (was == now)
        return;
    list->setAlarmFilter(monitor, dialog.followsAll() ? nullptr : &chosen);
    Accounts::instance().audit(
        QStringLiteral("修改报警过滤"),
        (monitor ? QString::fromStdString(monitor->getUsername()) : QStringLiteral("全部仪表")) +
            QStringLiteral("：") + was + QStringLiteral(" → ") + now);
}

void MainWindow::slot_runSettings()
{
    if (rejectWithoutAdministrator() || runSettingsDialog)
        return;
    DialogRunSettings dialog(autoBackup, this);
    runSettingsDialog = &dialog;
    dialog.exec();
}

void MainWindow::on_activeMonitor(MonitorBase *monitor)
{
    const auto found = monitor->views.find(0);
    if (found == monitor->views.end())
        return;
    auto *display = static_cast<WidgetMonitorDisplay *>(found->second);
    QStackedWidget *stack = ui->stackedWidgetMonitorDisplay;
    if (stack->indexOf(display) < 0)
        stack->addWidget(display);
    stack->setCurrentWidget(display);
}

void MainWindow::slot_activeMonitorSimpleList()
{
    ui->stackedWidgetMonitorDisplay->setCurrentIndex(0);
}

void MainWindow::slot_comPort(bool status)
{
    // A line just switched on runs; one switched off leaves the others as they are.
    running = status || !allLinesOff();
    if (!systemSwitch)
        return;
    int on = 0;
    for (const WidgetComPort *panel : linePanels)
        on += panel->isLineOff() ? 0 : 1;
    const QSignalBlocker blocker(systemSwitch);
    systemSwitch->setCheckState(on == 0                        ? Qt::Unchecked
                                : on == int(linePanels.size()) ? Qt::Checked
                                                               : Qt::PartiallyChecked);
}

void MainWindow::disconnectExitOnLineOff()
{
    for (const QMetaObject::Connection &connection : exitOnLineOff)
        disconnect(connection);
    exitOnLineOff.clear();
}

bool MainWindow::allLinesOff() const
{
    return std::all_of(linePanels.begin(), linePanels.end(),
                       [](const WidgetComPort *panel) { return panel->isLineOff(); });
}

void MainWindow::slot_switchAllOn()
{
    for (WidgetComPort *panel : linePanels)
        panel->switchOn();
}

void MainWindow::switchAllOff()
{
    for (WidgetComPort *panel : linePanels)
        panel->switchOff();
}

void MainWindow::setUpLines()
{
    auto *linesConfig = static_cast<ConfigFile *>(AppContext::instance().object(LinesConfig));
    std::vector<ComPortCtrl *> lines{ui->widgetComPort->getComPortCtrl()};
    if (linesConfig)
        linesConfig->readLines(lines);
    if (lines.size() < 2)
        return;
    // The panels of the lines share the place of the one serial panel; the tree's selection
    // chooses which is shown.
    QVBoxLayout *column = ui->verticalLayout;
    const int place = column->indexOf(ui->widgetComPort);
    auto *stack = new QStackedWidget(ui->widgetComPort->parentWidget());
    stack->setObjectName(QStringLiteral("stackedWidgetLines"));
    stack->setMinimumSize(ui->widgetComPort->minimumSize());
    column->removeWidget(ui->widgetComPort);
    stack->addWidget(ui->widgetComPort);
    for (size_t i = 1; i < lines.size(); ++i) {
        auto *panel = new WidgetComPort(lines[i], linesConfig, stack);
        stack->addWidget(panel);
        linePanels.push_back(panel);
        ui->widgetMonitorList->addLine(panel);
    }
    for (WidgetComPort *panel : linePanels)
        panel->setOneOfSeveral(true);
    systemSwitch = new QCheckBox(QStringLiteral("系统开关"), stack->parentWidget());
    systemSwitch->setToolTip(QStringLiteral("开关全部线路"));
    systemSwitch->setObjectName(QStringLiteral("checkBoxSystem"));
    if (auto *lineSwitch =
            ui->widgetComPort->findChild<QCheckBox *>(QStringLiteral("checkBoxConnect"))) {
        systemSwitch->setStyleSheet(lineSwitch->styleSheet());
        systemSwitch->setFont(lineSwitch->font());
    }
    column->insertWidget(place, systemSwitch);
    column->insertWidget(place + 1, stack);
    connect(systemSwitch, &QCheckBox::clicked, this, [this](bool on) {
        if (on)
            slot_switchAllOn();
        else
            switchAllOff();
    });
    connect(ui->widgetMonitorList, &WidgetMonitorList::signal_activeLine, stack,
            [this, stack](int line) {
                currentLine = line;
                if (line >= 0 && line < stack->count())
                    stack->setCurrentIndex(line);
            });
}

void MainWindow::watchLine(WidgetComPort *panel)
{
    connect(panel, &WidgetComPort::signal_comPort, this, &MainWindow::slot_comPort);
    // The line's states, for support.
    const ComPortCtrl *ctrl = panel->getComPortCtrl();
    // A line among several is named; one alone is told as it always was.
    const bool several = linePanels.size() > 1;
    const auto where = [ctrl, several] {
        const QString name = several ? QString::fromStdString(ctrl->getName()) : QString();
        const QString address =
            ctrl->getType() == ComPortCtrl::Tcp
                ? QStringLiteral("网关 %1:%2")
                      .arg(QString::fromStdString(ctrl->getHost()))
                      .arg(ctrl->getTcpPort())
                : QStringLiteral("串口 %1").arg(QString::fromUtf8(ctrl->getPort()));
        return (name.isEmpty() ? address : name + QLatin1Char(' ') + address).toUtf8();
    };
    auto lostLogged = std::make_shared<bool>(false);
    connect(panel, &WidgetComPort::signal_comPort, this, [where, lostLogged](bool on) {
        *lostLogged = false;
        if (on)
            qInfo("hydrovane: %s 已打开,开始轮询", where().constData());
        else
            qInfo("hydrovane: %s 已关闭", where().constData());
    });
    connect(panel, &WidgetComPort::signal_lineLost, this, [where, lostLogged](bool lost) {
        if (lost == *lostLogged)
            return;
        *lostLogged = lost;
        if (lost)
            qWarning("hydrovane: %s 断开,正在重新打开", where().constData());
        else
            qInfo("hydrovane: %s 已恢复", where().constData());
    });
}

void MainWindow::slot_searchRecord()
{
    DialogSearch dialog(this);
    dialog.exec();
}

void MainWindow::slot_alarmRecord()
{
    DialogAlarms dialog(this);
    dialog.exec();
}

void MainWindow::slot_backupRecord()
{
    RecordDatabase *database = recordDatabase();
    const QString folder = AppContext::instance().path(BackupDir);
    // Written by the worker, read here once the task has ended.
    std::string written;
    QString refused;
    const int result =
        runTask(QStringLiteral("正在备份数据..."),
                [database, folder, &written, &refused](const DatabaseTask::Progress &) {
                    // The last space belongs to the record writers.
                    if (DiskGuard::checkRoom(folder, QStringLiteral("备份"), &refused) ==
                        DiskGuard::RoomRefused)
                        return -1;
                    refused.clear();
                    return database->backupDatabase(RecordDb, nullptr, &written);
                });
    Accounts::instance().audit(QStringLiteral("备份"),
                               result < 0
                                   ? (refused.isEmpty() ? QStringLiteral("备份失败")
                                                        : QStringLiteral("备份被拒绝:磁盘空间不足"))
                                   : QStringLiteral("备份成功,已写入 ") + native(written));
    if (result < 0 && !refused.isEmpty())
        MessageBoxes::critical(tr("错误"), refused);
    else if (result < 0)
        MessageBoxes::critical(tr("错误"),
                               QStringLiteral("备份数据失败,请退出系统后手动备份db文件夹"));
    else
        MessageBoxes::information(tr("通知"), QStringLiteral("数据备份成功"));
}

void MainWindow::slot_clearRecord()
{
    if (rejectWithoutAdministrator())
        return;
    const auto answer =
        MessageBoxes::warning(tr("警告"), QStringLiteral("清空记录后将不可恢复，是否继续？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    RecordDatabase *database = recordDatabase();
    int64_t removed = 0;
    const int result = runTask(QStringLiteral("正在清空记录..."),
                               [database, &removed](const DatabaseTask::Progress &) {
                                   const int cleared = database->clear(&removed);
                                   database->vacuum();
                                   return cleared;
                               });
    Accounts::instance().audit(QStringLiteral("清空"),
                               result == 0
                                   ? QStringLiteral("所有记录已清空,共删除 %1 条记录").arg(removed)
                                   : QStringLiteral("清空失败,记录未删除"));
    // The clear is one transaction: when it fails every row is still there.
    if (result != 0)
        MessageBoxes::critical(tr("错误"), QStringLiteral("清空记录失败!\n记录未被删除。"));
}

void MainWindow::slot_importRecord()
{
    if (rejectWithoutAdministrator())
        return;
    const QString file =
        FileDialogs::openFile(this, QStringLiteral("选择导入数据库"),
                              AppContext::instance().path(BackupDir), QStringLiteral("File(*.zdb)"));
    if (file.isEmpty())
        return;
    RecordDatabase *database = recordDatabase();
    const std::string source = file.toUtf8().toStdString();
    // Written by the worker, read here once the task has ended.
    RecordDatabase::ImportReport report;
    const int result = runTask(
        QStringLiteral("正在导入数据..."),
        [this, database, source, &report](const DatabaseTask::Progress &progress) {
            return database->importDatabase(
                RecordDb, source, &report,
                [this, &progress](int64_t done, int64_t total) {
                    progress(done, total);
                    // A stop rolls an import back.
                    return !stopping.load();
                },
                // The alarm log changes files between two of its changes: the alarms
                // end in the replaced file and start afresh in the new one.
                [](const RecordDatabase::Swap &swap) {
                    const qint64 now = QDateTime::currentSecsSinceEpoch();
                    AlarmRules::instance().switchLog(now, [&swap, now] { return swap(now); });
                });
        });
    updateRecordingState();
    QString detail = QDir::toNativeSeparators(file);
    if (result < 0)
        detail += QStringLiteral(",导入失败:") + importRefusal(report.error);
    else
        detail += QStringLiteral(",共 %1 条记录").arg(report.rows);
    if (!report.keptFile.empty())
        detail += QStringLiteral(",原数据库保存为 ") + native(report.keptFile);
    else if (result == 0)
        detail += QStringLiteral(",此前没有数据库文件");
    if (report.removedKept > 0)
        detail += QStringLiteral(",") + keptLimitText(report.removedKept);
    Accounts::instance().audit(QStringLiteral("导入"), detail);
    if (result < 0)
        MessageBoxes::critical(tr("错误"), importResultText(false, report));
    else
        MessageBoxes::information(tr("通知"), importResultText(true, report));
}

void MainWindow::slot_exportRecord()
{
    runBec(DialogBEC::ExportStage);
}

void MainWindow::slot_bec()
{
    if (rejectWithoutAdministrator())
        return;
    QStringList written;
    const int failed =
        runBec(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage, &written);
    if (failed < 0)
        return;
    QStringList stages;
    const std::pair<int, QString> names[] = {{DialogBEC::BackupStage, QStringLiteral("备份")},
                                             {DialogBEC::ExportStage, QStringLiteral("导出")},
                                             {DialogBEC::ClearStage, QStringLiteral("清除")}};
    for (const auto &stage : names)
        stages << stage.second + ((failed & stage.first) ? QStringLiteral("失败")
                                                         : QStringLiteral("完成"));
    QString detail = stages.join(QLatin1Char(','));
    if (!written.isEmpty()) {
        for (QString &path : written)
            path = QDir::toNativeSeparators(path);
        detail += QStringLiteral(";已写入 ") + written.join(QStringLiteral("、"));
    }
    Accounts::instance().audit(QStringLiteral("备份-导出-清除"), detail);
}

void MainWindow::slot_about()
{
    DialogAbout dialog(this);
    dialog.exec();
}

void MainWindow::slot_userManual()
{
    QString manual = AppContext::instance().path(UserManual);
    // A packaged station's folder has no manual of its own; the package's lies beside the
    // program (PREFIX/lib/hydrovane/hydrovane and PREFIX/share/doc/hydrovane).
    const QString installed = QDir::cleanPath(QCoreApplication::applicationDirPath() +
                                              QStringLiteral("/../../share/doc/hydrovane/um.mht"));
    if (!QFileInfo(manual).isFile() && QFileInfo(installed).isFile())
        manual = installed;
    if (!QFileInfo(manual).isFile()) {
        MessageBoxes::critical(tr("错误"), QStringLiteral("找不到用户手册:\n%1")
                                               .arg(QDir::toNativeSeparators(manual)));
        return;
    }
    if (!DesktopOpener::openLocal(manual))
        MessageBoxes::critical(tr("错误"), QStringLiteral("无法打开用户手册:\n%1\n"
                                                          "系统中没有可打开此类文件的程序。")
                                               .arg(QDir::toNativeSeparators(manual)));
}

void MainWindow::slot_openLogFolder()
{
    StationLog *log = StationLog::current();
    const QString folder =
        log ? log->folder() : StationLog::folderOf(AppContext::instance().applicationDir());
    if (!QFileInfo(folder).isDir()) {
        MessageBoxes::critical(tr("错误"), QStringLiteral("日志文件夹 %1 不存在或不是文件夹,"
                                                          "日志只输出到标准错误。")
                                               .arg(QDir::toNativeSeparators(folder)));
        return;
    }
    if (!DesktopOpener::openLocal(folder))
        MessageBoxes::critical(tr("错误"), QStringLiteral("无法打开日志文件夹:\n%1\n"
                                                          "系统中没有可打开文件夹的程序。")
                                               .arg(QDir::toNativeSeparators(folder)));
}

void MainWindow::tellLogProblem()
{
    StationLog *log = StationLog::current();
    if (!log)
        return;
    const QString problem = log->takeProblem();
    if (!problem.isEmpty())
        MessageBoxes::warning(tr("警告"), problem);
}

void MainWindow::slot_diskLevelChanged(int level, int before)
{
    if (level != DiskGuard::Critical || before == DiskGuard::Critical)
        return;
    const DiskGuard::Status status = DiskGuard::instance().status();
    MessageBoxes::warning(
        tr("警告"),
        QStringLiteral("站点文件夹所在磁盘只剩 %1,备份和导出已暂停。\n%2")
            .arg(DiskGuard::bytesText(status.freeBytes), DiskGuard::advice(DiskGuard::Critical)));
}

void MainWindow::slot_createRecordDB()
{
    RecordDatabase *database = recordDatabase();
    runTask(QStringLiteral("正在创建数据库..."), [database](const DatabaseTask::Progress &) {
        return database->createDatabase(RecordDb);
    });
    updateRecordingState();
}

void MainWindow::slot_createUserDB()
{
    static_cast<UserDatabase *>(AppContext::instance().object(UserDb))->createDatabase(UserDb);
}

void MainWindow::slot_signIn()
{
    runAccountDialog(DialogAccount::SignIn);
}

void MainWindow::slot_signOut()
{
    Accounts::instance().signOut();
}

void MainWindow::slot_changePassword()
{
    if (!Accounts::instance().isSignedIn()) {
        MessageBoxes::critical(tr("错误"), QStringLiteral("请先登录。"));
        return;
    }
    runAccountDialog(DialogAccount::ChangePassword);
}

void MainWindow::slot_addUser()
{
    if (rejectWithoutAdministrator())
        return;
    runAccountDialog(DialogAccount::AddUser);
}

void MainWindow::slot_deleteUser()
{
    if (rejectWithoutAdministrator())
        return;
    runAccountDialog(DialogAccount::DeleteUser);
}

void MainWindow::slot_auditLog()
{
    // The trail names who did what and when: not for whoever passes the keyboard.
    if (rejectWithoutAdministrator() || auditDialog)
        return;
    DialogAudit dialog(this);
    auditDialog = &dialog;
    dialog.exec();
}

void MainWindow::checkAdministrators()
{
    Accounts::instance().listUsers(this, [](int result, const QVector<Accounts::User> &users) {
        if (result != Accounts::Ok)
            return; // the status bar says the file did not open
        for (const Accounts::User &user : users)
            if (user.role == Accounts::Administrator)
                return;
        const QString text =
            users.isEmpty()
                ? Accounts::Reply{Accounts::NoAccounts, 0}.text()
                : QStringLiteral("用户数据库中没有管理员账户，维护功能无法使用。\n"
                                 "请在命令行设置管理员：hydrovane --passwd 用户名 --admin\n"
                                 "（共享的监测站文件夹须以 root 身份执行）。");
        MessageBoxes::critical(QStringLiteral("错误"), text);
    });
}

void MainWindow::runAccountDialog(int mode)
{
    if (accountDialog)
        return;
    DialogAccount dialog(DialogAccount::Mode(mode), this);
    accountDialog = &dialog;
    dialog.exec();
}

void MainWindow::updateUser()
{
    const Accounts &accounts = Accounts::instance();
    const bool administrator = accounts.isAdministrator();
    userLabel->setText(accounts.isSignedIn() ? Accounts::roleText(accounts.role()) +
                                                   QLatin1Char(' ') + accounts.userName()
                                             : QStringLiteral("未登录"));
    userLabel->setToolTip(accounts.isAvailable() ? QString()
                                                 : QStringLiteral("用户数据库无法打开"));
    ui->actionSignOut->setEnabled(accounts.isSignedIn());
    ui->actionChangePassword->setEnabled(accounts.isSignedIn());
    ui->widgetMonitorList->setMaintenanceAllowed(administrator);
    for (WidgetComPort *panel : linePanels)
        panel->setSettingsAllowed(administrator);
}

void MainWindow::slot_idleSignedOut()
{
    userLabel->setText(QStringLiteral("未登录(闲置超时,已自动注销)"));
    // What was open for the account that is gone closes with it.
    if (accountDialog)
        accountDialog->reject();
    if (mqttDialog)
        mqttDialog->reject();
    if (hj212Dialog)
        hj212Dialog->reject();
    if (auditDialog)
        auditDialog->reject();
    if (alarmFilterDialog)
        alarmFilterDialog->reject();
    if (runSettingsDialog)
        runSettingsDialog->reject();
}

void MainWindow::on_pushButtonHome_clicked()
{
    ui->widgetMonitorList->selectRoot();
}

void MainWindow::on_pushButtonClose_clicked()
{
    quitRequested = true;
    close();
}

void MainWindow::slot_activeSystemTrayIcon(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Context:
        if (!trayMenu->isVisible())
            trayMenu->popup(QCursor::pos());
        break;
    case QSystemTrayIcon::DoubleClick:
    case QSystemTrayIcon::Trigger:
        showSystem();
        break;
    default:
        break;
    }
}

void MainWindow::showSystem()
{
    show();
    setWindowState(Qt::WindowMaximized);
    activateWindow();
}

void MainWindow::closeSystem()
{
    on_pushButtonClose_clicked();
}

void MainWindow::slot_stop()
{
    if (stopping || exitDone)
        return;
    stopping = true;
    MessageBoxes::setUnattended(true);
    // A confirmed exit waiting for the line goes on as this stop, which also waits for the
    // rest.
    disconnectExitOnLineOff();
    leaving = true;
    setEnabled(false);
    switchAllOff();
    endModalWork();
    stopCheck = new QTimer(this);
    connect(stopCheck, &QTimer::timeout, this, &MainWindow::continueStop);
    stopCheck->start(stopCheckMs);
}

void MainWindow::slot_checkStationLock()
{
    if (lockChecker || exitDone)
        return;
    auto check = std::make_shared<std::atomic<int>>(0);
    lockChecker = QThread::create([check] { *check = AppContext::instance().checkLock(); });
    connect(lockChecker, &QThread::finished, this, [this, check] {
        lockChecker->deleteLater();
        lockChecker = nullptr;
        showStationLock(*check);
        emit signal_stationLockChecked(*check);
    });
    lockChecker->start();
}

void MainWindow::showStationLock(int check)
{
    const QString file = QDir::toNativeSeparators(
        StationLock::lockFilePath(AppContext::instance().applicationDir()));
    if (check == StationLock::Intact || check == StationLock::Retaken) {
        if (check == StationLock::Retaken)
            qWarning("hydrovane: %s was deleted or replaced; made and locked again",
                     qPrintable(file));
        lockLabel->hide();
        toldLock = false;
        return;
    }
    const QString problem = AppContext::instance().lockProblem();
    lockLabel->setText(problem.section(QLatin1Char('\n'), 0, 0));
    lockLabel->setToolTip(problem);
    lockLabel->show();
    if (toldLock)
        return;
    toldLock = true;
    MessageBoxes::critical(tr("错误"), problem);
}

void MainWindow::endModalWork()
{
    while (QWidget *popup = QApplication::activePopupWidget()) {
        if (!popup->close())
            break;
    }
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (!widget->isVisible() || !widget->isModal())
            continue;
        // A task's box closes with its task, which is waited for.
        if (qobject_cast<QProgressDialog *>(widget))
            continue;
        if (auto *bec = qobject_cast<DialogBEC *>(widget))
            bec->cancel();
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialog->reject();
    }
}

void MainWindow::continueStop()
{
    // Asked again each time: a dialog may have opened after the last look.
    endModalWork();
    autoBackup->stop();
    if (!allLinesOff() || DatabaseTask::runningCount() > 0 || maintenance > 0 ||
        autoBackup->isRunning() || QApplication::activeModalWidget() ||
        QApplication::activePopupWidget() || QThread::currentThread()->loopLevel() > outerLoopLevel)
        return;
    stopCheck->stop();
    finishExit();
    hide();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (leaving || exitDone) {
        quitRequested = false;
        event->ignore();
        return;
    }
    if (quitRequested) {
        quitRequested = false;
        // The databases must stay open for the job that works on them.
        if (maintenance > 0 || DatabaseTask::runningCount() > 0) {
            event->ignore();
            MessageBoxes::critical(tr("错误"),
                                   QStringLiteral("数据维护进行中,请完成后再退出系统。"));
            return;
        }
        const auto answer =
            MessageBoxes::warning(tr("警告"), QStringLiteral("确认退出系统？"),
                                  QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
        // No new readings from here on; then the settings, the queued rows, the databases.
        // The reader may be waiting for a silent instrument: the exit goes on once the line
        // is off, and the window takes no command meanwhile that could reach the databases.
        switchAllOff();
        if (allLinesOff()) {
            finishExit();
            event->accept();
            return;
        }
        leaving = true;
        setEnabled(false);
        event->ignore();
        // Each line closes after its own exchange; the exit goes on with the last.
        for (WidgetComPort *panel : linePanels) {
            exitOnLineOff.push_back(
                connect(panel, &WidgetComPort::signal_comPort, this, [this](bool on) {
                    if (on || !allLinesOff())
                        return;
                    disconnectExitOnLineOff();
                    finishExit();
                    hide();
                }));
        }
        return;
    }

    event->ignore();
    if (!trayAvailable()) {
        // Without a tray a hidden window could not be reached again.
        showMinimized();
        return;
    }
    hide();
    showBalloon(tr("提示"), running ? QStringLiteral("系统后台运行中！")
                                    : QStringLiteral("系统最小化至系统托盘！"));
}

void MainWindow::updateRecordingState()
{
    if (recordingEnded)
        return;
    const RecordingStatus::Snapshot now = RecordingStatus::instance().snapshot();
    const RecordDatabase *database = recordDatabase();
    const bool open = database && database->isOpen();
    const qint64 dropped = now.dropped - droppedBefore;
    const bool storing = open && now.held == 0 && now.failing == 0;
    // The alarm log lacks a clear or an acknowledgement: said for the rest of the run.
    const qint64 unmatched = now.unmatched - unmatchedBefore;
    // The alarm log is told apart: its changes wait or went while the records may be stored.
    const qint64 alarmDropped = now.alarmDropped - alarmDroppedBefore;
    const bool alarmsStoring = open && now.alarmHeld == 0 && now.alarmFailing == 0;
    const bool healthy = storing && unmatched == 0 && alarmsStoring && alarmDropped == 0;

    // Rows waiting behind the station's own work on the file (a backup, a vacuum) are only
    // late; anything else means readings are not stored.
    const bool waitingOnly = open && now.troubled == 0;
    QString text = !open         ? QStringLiteral("数据库无法打开，记录未保存")
                   : waitingOnly ? QStringLiteral("记录暂缓保存")
                                 : QStringLiteral("记录未保存");
    if (now.held > 0)
        text += QStringLiteral("：%1 条待存").arg(now.held);
    if (dropped > 0)
        text += QStringLiteral("，已丢弃 %1 条").arg(dropped);
    if (storing)
        text.clear();
    const auto append = [&text](const QString &more) {
        text += (text.isEmpty() ? QString() : QStringLiteral("；")) + more;
    };
    if (open && (now.alarmHeld > 0 || alarmDropped > 0)) {
        QString alarms = QStringLiteral("报警记录未保存");
        if (now.alarmHeld > 0)
            alarms += QStringLiteral("：%1 条待存").arg(now.alarmHeld);
        if (alarmDropped > 0)
            alarms += QStringLiteral("，已丢弃 %1 条").arg(alarmDropped);
        append(alarms);
    }
    if (unmatched > 0)
        append(QStringLiteral("报警记录不全：%1 次解除或确认找不到对应的报警行").arg(unmatched));
    recordingLabel->setText(text);
    recordingLabel->setStyleSheet(
        waitingOnly && dropped == 0 && unmatched == 0 && alarmsStoring && alarmDropped == 0
            ? QStringLiteral("QLabel { color: black; background: #ffd54f; padding: 2px 8px; }")
            : QStringLiteral("QLabel { color: white; background: #c62828; padding: 2px 8px; "
                             "font-weight: bold; }"));
    recordingLabel->setVisible(!healthy);
    trayIcon->setToolTip(healthy ? windowTitle() : windowTitle() + QLatin1Char('\n') + text);

    // Decided and marked before any box opens: a box's event loop may bring the next change.
    QStringList tell;
    if (!open && !toldClosed) {
        toldClosed = true;
        tell << QStringLiteral("记录数据库 %1 无法打开,读数不会被保存。\n"
                               "可导入一个备份数据库(历史记录→导入数据)后继续记录。")
                    .arg(QDir::toNativeSeparators(AppContext::instance().path(RecordDb)));
    } else if (open && now.troubled > 0 && !toldRefused) {
        toldRefused = true;
        tell << QStringLiteral("记录无法写入数据库(%1),读数暂存在内存中,恢复后自动补存。\n"
                               "暂存超过 %2 条时,最早的记录将被丢弃。")
                    .arg(RecordingStatus::describe(now.failure))
                    .arg(RecordWriter::maxHeld);
    }
    if (dropped > 0 && !toldDropped) {
        toldDropped = true;
        tell << QStringLiteral("%1 条记录无法保存,已被丢弃。").arg(dropped);
    }
    if (healthy != recordingHealthyLogged) {
        recordingHealthyLogged = healthy;
        if (healthy)
            qInfo("hydrovane: 记录恢复正常保存");
        else
            qWarning("hydrovane: %s", text.toUtf8().constData());
    }
    // Once per episode, even one that ended before this look: the log missed changes for a
    // while. A closed file was told above.
    if (now.alarmEpisodes > alarmEpisodesTold) {
        alarmEpisodesTold = now.alarmEpisodes;
        if (open)
            tell << QStringLiteral("报警记录无法写入数据库(%1),报警的变化暂存在内存中,"
                                   "恢复后按顺序补存。\n暂存超过 %2 条时,最早的将被丢弃。")
                        .arg(RecordingStatus::describe(now.alarmFailure))
                        .arg(RecordWriter::maxHeld);
    }
    if (alarmDropped > 0 && !toldAlarmDropped) {
        toldAlarmDropped = true;
        tell << QStringLiteral("%1 条报警记录无法保存,已被丢弃。").arg(alarmDropped);
    }
    if (alarmsStoring) {
        alarmDroppedBefore = now.alarmDropped;
        toldAlarmDropped = false;
    }
    if (storing) {
        // Recording goes well again: the next trouble is told anew.
        droppedBefore = now.dropped;
        toldClosed = toldRefused = toldDropped = false;
    }
    for (const QString &message : qAsConst(tell))
        MessageBoxes::critical(tr("错误"), message);
}

void MainWindow::updateTrailState()
{
    // After the exit the files are closed and what is still held was told in its box.
    if (recordingEnded)
        return;
    const Accounts::TrailStatus now = Accounts::instance().trailStatus();
    if (now.held == 0) {
        trailLabel->hide();
        // Stored again: the next trouble is told anew.
        toldTrail = false;
        return;
    }
    const QString reason = RecordingStatus::describe(now.failure);
    QString text = QStringLiteral("操作记录未保存：%1 条待存（%2）").arg(now.held).arg(reason);
    if (now.dropped > 0)
        text += QStringLiteral("，已丢弃 %1 条").arg(now.dropped);
    trailLabel->setText(text);
    trailLabel->setToolTip(QDir::toNativeSeparators(AppContext::instance().path(UserDb)));
    trailLabel->show();
    if (toldTrail)
        return;
    // Marked before the box: its event loop may bring the next change.
    toldTrail = true;
    MessageBoxes::critical(
        tr("错误"),
        QStringLiteral("操作记录无法写入用户数据库 %1（%2），暂存在内存中，恢复后自动补存。\n"
                       "每条操作记录同时写入日志。")
            .arg(QDir::toNativeSeparators(AppContext::instance().path(UserDb)), reason));
}

void MainWindow::endRecordingState()
{
    recordingEnded = true;
    // The writers had their last try before the file closed; what they hold now goes with them.
    const RecordingStatus::Snapshot now = RecordingStatus::instance().snapshot();
    lostAtExit = now.held + now.alarmHeld;
    if (now.held > 0)
        MessageBoxes::critical(tr("错误"), QStringLiteral("退出时仍有 %1 条记录无法保存到数据库,"
                                                          "已被丢弃。")
                                               .arg(now.held));
    if (now.alarmHeld > 0)
        MessageBoxes::critical(tr("错误"),
                               QStringLiteral("退出时仍有 %1 条报警记录无法保存到数据库,"
                                              "已被丢弃。")
                                   .arg(now.alarmHeld));
}

void MainWindow::finishExit()
{
    if (exitDone)
        return;
    exitDone = true;
    leaving = false;
    for (WidgetComPort *panel : linePanels)
        panel->saveConfig();
    ui->widgetMonitorList->saveConfig();
    // A backup under way ends before the file it copies closes.
    autoBackup->stop();
    autoBackup->waitForFinished();
    // The trail's last rows, held ones too, reach the file before it closes.
    Accounts &accounts = Accounts::instance();
    accounts.retryTrail();
    accounts.waitForJobs();
    const int trailHeld = accounts.trailStatus().held;
    // A cancelled export removes its file before the folder is given up.
    ExcelWriter::waitForRetired();
    AppContext::instance().shutdown();
    endRecordingState();
    if (trailHeld > 0)
        MessageBoxes::critical(tr("错误"),
                               QStringLiteral("退出时仍有 %1 条操作记录无法写入用户数据库，"
                                              "它们只保留在日志中。")
                                   .arg(trailHeld));
    trayIcon->hide();
    emit signal_exitConfirmed();
}

bool MainWindow::trayAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MainWindow::showBalloon(const QString &title, const QString &text)
{
    trayIcon->showMessage(title, text, QSystemTrayIcon::Information, 5000);
}

bool MainWindow::rejectWithoutAdministrator() const
{
    if (Accounts::instance().isAdministrator())
        return false;
    MessageBoxes::rejectWithoutAdministrator();
    return true;
}

bool MainWindow::rejectWhileRunning() const
{
    if (!running)
        return false;
    MessageBoxes::rejectWhileRunning();
    return true;
}

int MainWindow::runBec(int stageMask, QStringList *written)
{
    ++maintenance;
    DialogBEC dialog(this, stageMask);
    dialog.exec();
    --maintenance;
    if (written)
        *written = dialog.writtenFiles();
    return dialog.failedStages();
}

int MainWindow::runTask(const QString &text, const DatabaseTask::Job &job)
{
    DatabaseTask task(text, job);
    return task.exec(this);
}
