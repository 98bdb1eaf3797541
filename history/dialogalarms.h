#ifndef DIALOGALARMS_H
#define DIALOGALARMS_H

#include "history/alarmresultmodel.h"

#include <QDateTime>
#include <QDialog>
#include <QThread>

class AlarmLookup;

namespace Ui {
class DialogAlarms;
}

// Looks up the alarm log by time range and instrument, the alarms still active first, and
// exports what it found to a workbook in the export folder. The reading and the writing run on
// a worker thread of the dialog's own.
class DialogAlarms : public QDialog
{
    Q_OBJECT

public:
    explicit DialogAlarms(QWidget *parent = nullptr);
    // A job under way is cancelled; an export so stopped leaves no file.
    ~DialogAlarms() override;

    bool isBusy() const { return searching || exporting; }
    AlarmResultModel *resultModel() const { return model; }

signals:
    void signal_search(quint64 search, QString from, QString to, QString name);
    void signal_export(AlarmEntries alarms, QString path);
    // Milestones, for tests: a search ended; an export ended.
    void signal_searchFinished(int rows);
    void signal_exportFinished(QString path, bool saved);

private slots:
    void on_pushButtonSearch_clicked();
    void on_pushButtonExport_clicked();
    void slot_names(QStringList names);
    void slot_found(quint64 search, AlarmEntries alarms, int result);
    void slot_exported(QString path, bool saved);

private:
    void setIdle(bool idle);

    Ui::DialogAlarms *ui;
    AlarmResultModel *model;
    QThread thread;
    AlarmLookup *lookup;
    quint64 searchNumber = 0;
    bool searching = false;
    bool exporting = false;
    // The alarms shown are only those read before a read error.
    bool partial = false;
    // The query of the alarms shown, for the export's name.
    QString shownName;
    QDateTime shownStart;
    QDateTime shownEnd;
};

#endif // DIALOGALARMS_H
