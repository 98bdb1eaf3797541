#ifndef DIALOGADDMONITOR_H
#define DIALOGADDMONITOR_H

#include <QDialog>
#include <QString>

class QComboBox;

namespace Ui {
class DialogAddMonitor;
}

// Collects the model, slave id, name and line of a new monitor and hands them on; the checks and
// the creation happen where the request arrives. The dialog closes before the request is
// handled, so a refusal shows after it has gone.
class DialogAddMonitor : public QDialog
{
    Q_OBJECT

public:
    // Connects signal_addMonitor to the parent's on_addMonitor(QString, QString, int, int, int)
    // when the parent has that slot.
    explicit DialogAddMonitor(QWidget *parent = nullptr);
    ~DialogAddMonitor() override;

    // The station's lines by name, line 1 first, and the one offered; with one line the
    // choice is not shown.
    void setLines(const QStringList &names, int current);

signals:
    // Model name, user name, slave id, channel (always -1), line index.
    void signal_addMonitor(const QString &model, const QString &userName, int id, int channel,
                           int line);

public slots:
    void on_buttonBox_accepted();

private:
    Ui::DialogAddMonitor *ui;
    QComboBox *comboBoxLine = nullptr;
};

#endif // DIALOGADDMONITOR_H
