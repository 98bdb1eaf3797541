#ifndef DIALOGALARMFILTER_H
#define DIALOGALARMFILTER_H

#include "acquisition/alarmfilter.h"

#include <QDialog>

class MonitorBase;
class MonitorCollection;
class QCheckBox;
class QComboBox;
class QSpinBox;

// Edits the alarm filter (on-delay and chattering rule) of all monitors or of one; the caller
// applies what was chosen once the dialog is accepted.
class DialogAlarmFilter : public QDialog
{
    Q_OBJECT

public:
    DialogAlarmFilter(const MonitorCollection &collection, QWidget *parent = nullptr);

    // The monitor chosen; null for all monitors.
    MonitorBase *monitor() const;
    // A monitor chosen that is to follow the filter of all monitors.
    bool followsAll() const;
    AlarmFilter filter() const;

    // The filter as the trail and the operator read it.
    static QString describe(const AlarmFilter &filter);

private:
    // Shows the filter of the chosen scope.
    void showScope();

    const MonitorCollection &collection;
    QComboBox *scope;
    QCheckBox *follow;
    QSpinBox *onDelay;
    QSpinBox *chatterRaises;
    QSpinBox *chatterWindow;
    QSpinBox *chatterHold;
};

#endif // DIALOGALARMFILTER_H
