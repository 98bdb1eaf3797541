#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "acquisition/comportreader.h"
#include "acquisition/monitorbase.h"
#include "panels/dialogaddmonitor.h"
#include "panels/messageboxes.h"
#include "panels/widgetmonitordisplay.h"

#include <QCloseEvent>
#include <QTimer>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindow), running(false)
{
    ui->setupUi(this);
    connect(ui->actionAddMonitor, &QAction::triggered, this,
            qOverload<>(&MainWindow::on_addMonitor));
    connect(ui->actionRemoveMonitor, &QAction::triggered, this, &MainWindow::on_removeMonitor);

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

    setWindowTitle(windowTitle() + QStringLiteral("V1.5"));
    setWindowIcon(QIcon(QStringLiteral(":/res/image/app.png")));
    setWindowState(Qt::WindowMaximized);
    // Once the window is up: what could not be used of the settings files.
    QTimer::singleShot(0, this, [] { WidgetMonitorList::showSettingsProblems(); });
}

MainWindow::~MainWindow()
{
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

void MainWindow::on_pushButtonHome_clicked()
{
    ui->widgetMonitorList->selectRoot();
}

void MainWindow::on_pushButtonClose_clicked()
{
    close();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    ui->widgetComPort->saveConfig();
    ui->widgetMonitorList->saveConfig();
    event->accept();
}

bool MainWindow::rejectWhileRunning() const
{
    if (!running)
        return false;
    MessageBoxes::rejectWhileRunning();
    return true;
}
