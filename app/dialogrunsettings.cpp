#include "dialogrunsettings.h"

#include "app/appcontext.h"
#include "app/autostartentry.h"
#include "panels/messageboxes.h"
#include "storage/accounts.h"
#include "storage/autobackup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeEdit>
#include <QVBoxLayout>

DialogRunSettings::DialogRunSettings(AutoBackup *backup, QWidget *parent)
    : QDialog(parent), backup(backup)
{
    setWindowTitle(QStringLiteral("运行设置"));
    auto *layout = new QVBoxLayout(this);

    autostart = new QCheckBox(QStringLiteral("开机自动启动并打开串口"), this);
    autostart->setObjectName(QStringLiteral("checkBoxAutostart"));
    autostart->setChecked(AutostartEntry::isEnabled());
    autostart->setToolTip(QDir::toNativeSeparators(AutostartEntry::path()));
    layout->addWidget(autostart);

    auto *group = new QGroupBox(QStringLiteral("自动备份"), this);
    auto *form = new QFormLayout(group);
    mode = new QComboBox(group);
    mode->setObjectName(QStringLiteral("comboBoxBackupMode"));
    mode->addItems({QStringLiteral("关闭"), QStringLiteral("每天"), QStringLiteral("每周")});
    weekday = new QComboBox(group);
    weekday->setObjectName(QStringLiteral("comboBoxWeekday"));
    weekday->addItems({QStringLiteral("星期一"), QStringLiteral("星期二"), QStringLiteral("星期三"),
                       QStringLiteral("星期四"), QStringLiteral("星期五"), QStringLiteral("星期六"),
                       QStringLiteral("星期日")});
    at = new QTimeEdit(group);
    at->setObjectName(QStringLiteral("timeEditBackup"));
    at->setDisplayFormat(QStringLiteral("HH:mm"));
    secondFolder = new QLineEdit(group);
    secondFolder->setObjectName(QStringLiteral("lineEditSecondFolder"));
    secondFolder->setPlaceholderText(QStringLiteral("不另存(可选 U 盘或网络文件夹)"));
    auto *browse = new QPushButton(QStringLiteral("浏览..."), group);
    auto *folderRow = new QHBoxLayout;
    folderRow->addWidget(secondFolder, 1);
    folderRow->addWidget(browse);
    keep = new QSpinBox(group);
    keep->setObjectName(QStringLiteral("spinBoxKeep"));
    keep->setRange(1, AutoBackupSettings::maxKeep);
    keep->setSuffix(QStringLiteral(" 份"));
    form->addRow(QStringLiteral("备份周期"), mode);
    form->addRow(QStringLiteral("每周备份日"), weekday);
    form->addRow(QStringLiteral("备份时间"), at);
    form->addRow(QStringLiteral("第二备份文件夹"), folderRow);
    form->addRow(QStringLiteral("保留自动备份"), keep);
    layout->addWidget(group);

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &DialogRunSettings::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &DialogRunSettings::reject);
    connect(browse, &QPushButton::clicked, this, &DialogRunSettings::chooseFolder);
    connect(mode, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &DialogRunSettings::updateEnabled);

    const AutoBackupSettings settings = backup ? backup->settings() : AutoBackupSettings();
    mode->setCurrentIndex(int(settings.mode));
    weekday->setCurrentIndex(settings.weekday - 1);
    at->setTime(settings.at);
    secondFolder->setText(settings.secondFolder);
    keep->setValue(settings.keep);
    updateEnabled();
}

void DialogRunSettings::updateEnabled()
{
    const bool on = mode->currentIndex() != AutoBackupSettings::Off;
    weekday->setEnabled(mode->currentIndex() == AutoBackupSettings::Weekly);
    at->setEnabled(on);
    secondFolder->setEnabled(on);
    keep->setEnabled(on);
}

void DialogRunSettings::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("选择第二备份文件夹"), secondFolder->text());
    if (!folder.isEmpty())
        secondFolder->setText(folder);
}

AutoBackupSettings DialogRunSettings::chosen() const
{
    AutoBackupSettings settings;
    settings.mode = AutoBackupSettings::Mode(mode->currentIndex());
    settings.weekday = weekday->currentIndex() + 1;
    settings.at = QTime(at->time().hour(), at->time().minute());
    settings.secondFolder = secondFolder->text().trimmed();
    settings.keep = keep->value();
    return settings;
}

void DialogRunSettings::accept()
{
    // The session may have ended while the dialog was open.
    if (!Accounts::instance().isAdministrator()) {
        MessageBoxes::rejectWithoutAdministrator();
        return;
    }
    const AutoBackupSettings settings = chosen();
    if (!settings.secondFolder.isEmpty() && !QDir::isAbsolutePath(settings.secondFolder)) {
        MessageBoxes::critical(QStringLiteral("错误"),
                               QStringLiteral("第二备份文件夹须是完整路径。"));
        return;
    }
    if (backup && settings != backup->settings()) {
        const QString station = AppContext::instance().applicationDir();
        QDir().mkpath(station + QStringLiteral("/config"));
        if (settings.save(AutoBackup::settingsPath(station)) != 0) {
            MessageBoxes::critical(
                QStringLiteral("错误"),
                QStringLiteral("自动备份设置无法保存到 %1。")
                    .arg(QDir::toNativeSeparators(AutoBackup::settingsPath(station))));
            return;
        }
        backup->setSettings(settings);
        Accounts::instance().audit(QStringLiteral("修改自动备份设置"), settings.describe());
    }
    if (autostart->isChecked() != AutostartEntry::isEnabled()) {
        const bool on = autostart->isChecked();
        const QString command = AutostartEntry::command(QCoreApplication::applicationFilePath(),
                                                        AppContext::instance().applicationDir());
        if ((on ? AutostartEntry::enable(command) : AutostartEntry::disable()) != 0) {
            MessageBoxes::critical(QStringLiteral("错误"),
                                   QStringLiteral("无法%1自动启动项 %2。")
                                       .arg(on ? QStringLiteral("写入") : QStringLiteral("删除"),
                                            QDir::toNativeSeparators(AutostartEntry::path())));
            return;
        }
        Accounts::instance().audit(QStringLiteral("修改运行设置"),
                                   on ? QStringLiteral("开机自动启动:开(%1)").arg(command)
                                      : QStringLiteral("开机自动启动:关"));
    }
    QDialog::accept();
}
