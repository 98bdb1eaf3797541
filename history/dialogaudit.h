#ifndef DIALOGAUDIT_H
#define DIALOGAUDIT_H

#include <QDialog>

class AuditModel;

namespace Ui {
class DialogAudit;
}

// The 操作记录 view: the trail of sign-ins, account changes and maintenance commands within a
// time range, newest first. The accounts read it off this thread.
class DialogAudit : public QDialog
{
    Q_OBJECT

public:
    explicit DialogAudit(QWidget *parent = nullptr);
    ~DialogAudit() override;

    AuditModel *resultModel() const { return model; }
    bool isBusy() const { return searching; }

signals:
    // A search ended with this many rows; for tests.
    void signal_searchFinished(int rows);

private slots:
    void on_pushButtonSearch_clicked();

private:
    Ui::DialogAudit *ui;
    AuditModel *model;
    bool searching = false;
};

#endif // DIALOGAUDIT_H
