#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "acquisition/comportreader.h"
#include "acquisition/monitorbase.h"
#include "app/appcontext.h"
#include "app/dialogabout.h"
#include "history/dialogbec.h"
#include "history/dialogsearch.h"
#include "panels/databasetask.h"
#include "panels/desktopopener.h"
#include "panels/dialogaddmonitor.h"
#include "panels/filedialogs.h"
#include "panels/messageboxes.h"
#include "panels/widgetmonitordisplay.h"
#include "storage/recorddatabase.h"
#include "storage/userdatabase.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QCursor>
#include <QMenu>
#include <QScreen>
#include <QTimer>

namespace {

RecordDatabase *recordDatabase()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
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
    connect(ui->actionSearchRecord, &QAction::triggered, this, &MainWindow::slot_searchRecord);
    connect(ui->actionBackupRecord, &QAction::triggered, this, &MainWindow::slot_backupRecord);
    connect(ui->actionClearRecord, &QAction::triggered, this, &MainWindow::slot_clearRecord);
    connect(ui->actionImportRecord, &QAction::triggered, this, &MainWindow::slot_importRecord);
    connect(ui->actionExportRecord, &QAction::triggered, this, &MainWindow::slot_exportRecord);
    connect(ui->actionBec, &QAction::triggered, this, &MainWindow::slot_bec);
    connect(ui->actionUserManual, &QAction::triggered, this, &MainWindow::slot_userManual);
    connect(ui->actionAbout, &QAction::triggered, this, &MainWindow::slot_about);

    WidgetComPort *comPort = ui->widgetComPort;
    WidgetMonitorList *list = ui->widgetMonitorList;
    connect(comPort, &WidgetComPort::signal_comPort, this, &MainWindow::slot_comPort);
    connect(comPort, &WidgetComPort::signal_comPort, list, &WidgetMonitorList::on_comPort);
    connect(list, &WidgetMonitorList::signal_activeMonitor, this, &MainWindow::on_activeMonitor);
    connect(list, &WidgetMonitorList::signal_activeMonitorSimpleList, this,
            &MainWindow::slot_activeMonitorSimpleList);
    connect(list, &WidgetMonitorList::signal_read, comPort, &WidgetComPort::on_read);

    list->setComPortCtrl(comPort->getComPortCtrl());
    list->setReader(comPort->getReader());
    connect(comPort->getReader(), &ComPortReader::signal_readDone, list,
            &WidgetMonitorList::on_readDone);
    list->init(ui->stackedWidgetMonitorDisplay->widget(0));

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

    // Once the window is up: what could not be used of the settings files.
    QTimer::singleShot(0, this, [] { WidgetMonitorList::showSettingsProblems(); });
}

MainWindow::~MainWindow()
{
    // An exit still waiting for the line is completed: the reader has stopped once this
    // returns, and the settings and queued rows are stored.
    if (leaving)
        ui->widgetComPort->waitForReader();
    delete ui;
}

void MainWindow::on_addMonitor()
{
    if (rejectWhileRunning())
        return;
    DialogAddMonitor dialog(this);
    dialog.exec();
}

void MainWindow::on_addMonitor(const QString &model, const QString &userName, int id, int channel)
{
    MonitorBase *monitor = ui->widgetMonitorList->addMonitor(model, userName, id, channel);
    if (monitor)
        on_activeMonitor(monitor);
}

void MainWindow::on_removeMonitor()
{
    if (rejectWhileRunning())
        return;
    ui->widgetMonitorList->slot_remove();
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
    running = status;
}

void MainWindow::slot_searchRecord()
{
    DialogSearch dialog(this);
    dialog.exec();
}

void MainWindow::slot_backupRecord()
{
    RecordDatabase *database = recordDatabase();
    const int result =
        runTask(QStringLiteral("正在备份数据..."), [database](const DatabaseTask::Progress &) {
            return database->backupDatabase(RecordDb);
        });
    if (result < 0)
        MessageBoxes::critical(tr("错误"),
                               QStringLiteral("备份数据失败,请退出系统后手动备份db文件夹"));
    else
        MessageBoxes::information(tr("通知"), QStringLiteral("数据备份成功"));
}

void MainWindow::slot_clearRecord()
{
    const auto answer =
        MessageBoxes::warning(tr("警告"), QStringLiteral("清空记录后将不可恢复，是否继续？"),
                              QMessageBox::Yes | QMessageBox::No, QMessageBox::No);
    if (answer != QMessageBox::Yes)
        return;
    RecordDatabase *database = recordDatabase();
    runTask(QStringLiteral("正在清空记录..."), [database](const DatabaseTask::Progress &) {
        const int result = database->clear();
        database->vacuum();
        return result;
    });
}

void MainWindow::slot_importRecord()
{
    const QString file =
        FileDialogs::openFile(this, QStringLiteral("选择导入数据库"),
                              AppContext::instance().path(BackupDir), QStringLiteral("File(*.zdb)"));
    if (file.isEmpty())
        return;
    RecordDatabase *database = recordDatabase();
    const std::string source = file.toUtf8().toStdString();
    const int result =
        runTask(QStringLiteral("正在导入数据..."),
                [database, source](const DatabaseTask::Progress &progress) {
                    return database->importDatabase(RecordDb, source, nullptr,
                                                    [&progress](int64_t done, int64_t total) {
                                                        progress(done, total);
                                                        return true;
                                                    });
                });
    if (result < 0)
        MessageBoxes::critical(tr("错误"), QStringLiteral("数据导入失败!"));
    else
        MessageBoxes::information(tr("通知"), QStringLiteral("数据导入成功!"));
}

void MainWindow::slot_exportRecord()
{
    runBec(DialogBEC::ExportStage);
}

void MainWindow::slot_bec()
{
    runBec(DialogBEC::BackupStage | DialogBEC::ExportStage | DialogBEC::ClearStage);
}

void MainWindow::slot_about()
{
    DialogAbout dialog(this);
    dialog.exec();
}

void MainWindow::slot_userManual()
{
    DesktopOpener::openLocal(AppContext::instance().path(UserManual));
}

void MainWindow::slot_createRecordDB()
{
    RecordDatabase *database = recordDatabase();
    runTask(QStringLiteral("正在创建数据库..."), [database](const DatabaseTask::Progress &) {
        return database->createDatabase(RecordDb);
    });
}

void MainWindow::slot_createUserDB()
{
    static_cast<UserDatabase *>(AppContext::instance().object(UserDb))->createDatabase(UserDb);
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

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (leaving) {
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
        WidgetComPort *comPort = ui->widgetComPort;
        comPort->switchOff();
        if (comPort->isLineOff()) {
            finishExit();
            event->accept();
            return;
        }
        leaving = true;
        setEnabled(false);
        event->ignore();
        exitOnLineOff = connect(comPort, &WidgetComPort::signal_comPort, this, [this](bool on) {
            if (on)
                return;
            disconnect(exitOnLineOff);
            finishExit();
            hide();
        });
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

void MainWindow::finishExit()
{
    leaving = false;
    ui->widgetComPort->saveConfig();
    ui->widgetMonitorList->saveConfig();
    AppContext::instance().shutdown();
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

bool MainWindow::rejectWhileRunning() const
{
    if (!running)
        return false;
    MessageBoxes::rejectWhileRunning();
    return true;
}

void MainWindow::runBec(int stageMask)
{
    ++maintenance;
    DialogBEC dialog(this, stageMask);
    dialog.exec();
    --maintenance;
}

int MainWindow::runTask(const QString &text, const DatabaseTask::Job &job)
{
    DatabaseTask task(text, job);
    return task.exec(this);
}
