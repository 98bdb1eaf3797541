#ifndef DIALOGRUNSETTINGS_H
#define DIALOGRUNSETTINGS_H

#include "storage/autobackupsettings.h"

#include <QDialog>

class AutoBackup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;
class QTimeEdit;

// 运行设置, for administrators: starting with the session with the line open (the user's
// autostart entry), and the automatic backups' schedule, second folder and copies kept.
// OK writes what changed and leaves a row in the trail for each.
class DialogRunSettings : public QDialog
{
    Q_OBJECT

public:
    DialogRunSettings(AutoBackup *backup, QWidget *parent = nullptr);

public slots:
    void accept() override;

private:
    void chooseFolder();
    void updateEnabled();
    AutoBackupSettings chosen() const;

    AutoBackup *backup;
    QCheckBox *autostart;
    QComboBox *mode;
    QComboBox *weekday;
    QTimeEdit *at;
    QLineEdit *secondFolder;
    QSpinBox *keep;
};

#endif // DIALOGRUNSETTINGS_H
