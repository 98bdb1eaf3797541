#ifndef DIALOGBEC_H
#define DIALOGBEC_H

#include <QDialog>

class RecordDatabase;

namespace Ui {
class DialogBEC;
}

// Maintenance of the record database in up to three stages, always in this order: a dated
// backup copy, an export of every record to one workbook with a sheet per instrument, and
// clearing the table. Runs on the interface thread and closes itself when done.
class DialogBEC : public QDialog
{
    Q_OBJECT

public:
    enum Stage
    {
        BackupStage = 1,
        ExportStage = 2,
        ClearStage = 4
    };

    DialogBEC(QWidget *parent, int stageMask);
    ~DialogBEC() override;

private slots:
    void on_pushButtonStart_clicked();

private:
    // Each returns whether its copy of the records was made.
    bool backupRecords();
    bool exportRecords();
    void clearRecords();
    void showStatus(const QString &text);

    Ui::DialogBEC *ui;
    RecordDatabase *database;
    int stageMask;
};

#endif // DIALOGBEC_H
