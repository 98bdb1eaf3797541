#ifndef DIALOGLINESTATUS_H
#define DIALOGLINESTATUS_H

#include "panels/linestatusmodel.h"

#include <QDialog>

#include <vector>

class WidgetComPort;
class WidgetMonitorList;

namespace Ui {
class DialogLineStatus;
}

// The 通讯状态 view: a line's figures and one row per instrument of the line with its exchange
// statistics and demotion; of several lines, the operator picks the line shown. Non-modal, so the
// operator can watch it while the station runs; it refreshes after every read pass and whenever the
// line changes state, but only while it is shown. Reads snapshots only: it never waits on the
// reader.
class DialogLineStatus : public QDialog
{
    Q_OBJECT

public:
    // The list and the panels of its lines outlive the dialog; `comPort` is line 0's.
    DialogLineStatus(WidgetMonitorList *list, WidgetComPort *comPort, QWidget *parent = nullptr);
    ~DialogLineStatus() override;

    const LineStatusModel *model() const { return instruments; }

public slots:
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refreshLine();

    Ui::DialogLineStatus *ui;
    WidgetMonitorList *list;
    WidgetComPort *comPort; // of the line shown
    int shownLine = 0;
    LineStatusModel *instruments;
    std::vector<LineStatusModel::Instrument> rows; // kept between passes to spare allocations
};

#endif // DIALOGLINESTATUS_H
