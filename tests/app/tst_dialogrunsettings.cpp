#include "app/appcontext.h"
#include "app/autostartentry.h"
#include "app/dialogrunsettings.h"
#include "storage/accounts.h"
#include "storage/autobackup.h"
#include "testsupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QtTest>

// 运行设置: what an administrator's OK writes, and what anyone else's does not.
class TestDialogRunSettings : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        station = std::make_unique<TempStation>();
        boxes = std::make_unique<MessageBoxRecorder>();
        config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", config->path().toUtf8());
        AppContext::instance().init();
    }
    void cleanup()
    {
        Accounts::instance().signOut();
        Accounts::instance().waitForJobs();
        AppContext::instance().shutdown();
        AppContext::instance().reset();
        qunsetenv("XDG_CONFIG_HOME");
        boxes.reset();
        station.reset();
        config.reset();
    }

    void onlyAnAdministratorChangesAnything()
    {
        AutoBackup backup(nullptr, station->path());
        DialogRunSettings dialog(&backup);
        dialog.findChild<QCheckBox *>("checkBoxAutostart")->setChecked(true);
        dialog.accept();
        QCOMPARE(boxes->boxes.last().text, MessageBoxes::administratorRequired());
        QVERIFY(!AutostartEntry::isEnabled());
        QVERIFY(!QFile::exists(AutoBackup::settingsPath(station->path())));
    }

    void okWritesTheEntryAndTheScheduleAndAuditsBoth()
    {
        QVERIFY(signInAs());
        AutoBackup backup(nullptr, station->path());
        backup.load();
        {
            DialogRunSettings dialog(&backup);
            QCOMPARE(dialog.findChild<QComboBox *>("comboBoxBackupMode")->currentIndex(),
                     int(AutoBackupSettings::Daily));
            QCOMPARE(dialog.findChild<QTimeEdit *>("timeEditBackup")->time(), QTime(2, 0));
            QCOMPARE(dialog.findChild<QSpinBox *>("spinBoxKeep")->value(), 30);
            dialog.findChild<QCheckBox *>("checkBoxAutostart")->setChecked(true);
            dialog.findChild<QComboBox *>("comboBoxBackupMode")->setCurrentIndex(2);
            dialog.findChild<QComboBox *>("comboBoxWeekday")->setCurrentIndex(6);
            dialog.findChild<QTimeEdit *>("timeEditBackup")->setTime(QTime(3, 15));
            dialog.findChild<QLineEdit *>("lineEditSecondFolder")->setText("/media/usb");
            dialog.findChild<QSpinBox *>("spinBoxKeep")->setValue(7);
            dialog.accept();
            QCOMPARE(dialog.result(), int(QDialog::Accepted));
        }
        QVERIFY(AutostartEntry::isEnabled());
        AutoBackupSettings stored;
        QString problem;
        QCOMPARE(AutoBackupSettings::load(AutoBackup::settingsPath(station->path()), &stored,
                                          &problem),
                 0);
        QVERIFY(problem.isEmpty());
        QCOMPARE(stored.mode, AutoBackupSettings::Weekly);
        QCOMPARE(stored.weekday, 7);
        QCOMPARE(stored.at, QTime(3, 15));
        QCOMPARE(stored.secondFolder, QString("/media/usb"));
        QCOMPARE(stored.keep, 7);
        QVERIFY(backup.settings() == stored);
        Accounts::instance().waitForJobs();
        QVERIFY(auditRows().contains("admin|修改自动备份设置|每周日 03:15,保留 7 份,另存到 /media/usb"));

        // Unticked: the entry goes.
        DialogRunSettings dialog(&backup);
        QVERIFY(dialog.findChild<QCheckBox *>("checkBoxAutostart")->isChecked());
        dialog.findChild<QCheckBox *>("checkBoxAutostart")->setChecked(false);
        dialog.accept();
        QVERIFY(!AutostartEntry::isEnabled());
        Accounts::instance().waitForJobs();
        QVERIFY(auditRows().contains("admin|修改运行设置|开机自动启动:关"));
    }

    void aSecondFolderMustBeAWholePath()
    {
        QVERIFY(signInAs());
        AutoBackup backup(nullptr, station->path());
        DialogRunSettings dialog(&backup);
        dialog.findChild<QLineEdit *>("lineEditSecondFolder")->setText("usb");
        dialog.accept();
        QVERIFY(boxes->boxes.last().text.contains("完整路径"));
        QVERIFY(!QFile::exists(AutoBackup::settingsPath(station->path())));
    }

    void unusableValuesInTheFileKeepTheirDefaults()
    {
        QVERIFY(station->writeFile("config/AutoBackup.json",
                                   R"({"mode":"hourly","time":"25:00","keep":0,"weekday":3})"));
        AutoBackupSettings settings;
        QString problem;
        QCOMPARE(AutoBackupSettings::load(station->filePath("config/AutoBackup.json"), &settings,
                                          &problem),
                 0);
        QCOMPARE(settings.mode, AutoBackupSettings::Daily);
        QCOMPARE(settings.at, QTime(2, 0));
        QCOMPARE(settings.keep, 30);
        QCOMPARE(settings.weekday, 3);
        QVERIFY(problem.contains("mode") && problem.contains("time") && problem.contains("keep"));
    }

private:
    std::unique_ptr<TempStation> station;
    std::unique_ptr<MessageBoxRecorder> boxes;
    std::unique_ptr<QTemporaryDir> config;
};

QTEST_MAIN(TestDialogRunSettings)
#include "tst_dialogrunsettings.moc"
