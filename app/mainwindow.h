#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QMainWindow>
#include <QString>

class MonitorBase;

namespace Ui {
class MainWindow;
}

// The station's only top-level window: the monitor list and the serial port panel on the
// left, the overview grid and the monitors' detail pages on the right. Wires the panels to
// each other and refuses adding and removing monitors while the line is on.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    bool isRunning() const { return running; }

public slots:
    void on_addMonitor();
    // The add-monitor dialog's request: model name, user name, slave id, channel.
    void on_addMonitor(const QString &model, const QString &userName, int id, int channel);
    void on_removeMonitor();
    void on_activeMonitor(MonitorBase *monitor);
    void slot_activeMonitorSimpleList();
    void slot_comPort(bool status);
    void on_pushButtonHome_clicked();
    void on_pushButtonClose_clicked();

protected:
    // Stores the changed settings files.
    void closeEvent(QCloseEvent *event) override;

private:
    // Shows the refusal and returns true while the line is on.
    bool rejectWhileRunning() const;

    Ui::MainWindow *ui;
    bool running;
};

#endif // MAINWINDOW_H
