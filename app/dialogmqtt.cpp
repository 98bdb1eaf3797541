#include "dialogmqtt.h"
#include "ui_dialogmqtt.h"

#include "app/appcontext.h"
#include "mqtt/mqttpublisher.h"
#include "panels/databasetask.h"
#include "panels/filedialogs.h"
#include "panels/messageboxes.h"
#include "panels/mqttstatuslabel.h"
#include "settings/configfile.h"
#include "settings/settingsstore.h"
#include "storage/accounts.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString text(const std::string &value)
{
    return QString::fromStdString(value);
}

std::string utf8(const QString &value)
{
    return value.trimmed().toUtf8().toStdString();
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("是") : QStringLiteral("否");
}

} // namespace

DialogMqtt::DialogMqtt(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogMqtt),
      publisher(static_cast<MqttPublisher *>(AppContext::instance().object(MqttOutbox)))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &DialogMqtt::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &DialogMqtt::reject);
    connect(ui->pushButtonCaFile, &QPushButton::clicked, this, &DialogMqtt::chooseCaFile);
    connect(ui->checkBoxTls, &QCheckBox::toggled, this, [this](bool on) {
        ui->lineEditCaFile->setEnabled(on);
        ui->pushButtonCaFile->setEnabled(on);
    });
    // What runs is what the publisher was given, also when the file could not be used.
    if (publisher) {
        current = publisher->settings();
        connect(publisher, &MqttPublisher::signal_statusChanged, this, &DialogMqtt::showState,
                Qt::QueuedConnection);
    }
    fill(current);
    showState();
    if (!Accounts::instance().isAdministrator())
        ui->buttonBox->button(QDialogButtonBox::Ok)->setToolTip(
            MessageBoxes::administratorRequired());
}

DialogMqtt::~DialogMqtt()
{
    delete ui;
}

void DialogMqtt::fill(const MqttSettings &settings)
{
    ui->checkBoxEnabled->setChecked(settings.enabled);
    ui->lineEditHost->setText(text(settings.host));
    ui->spinBoxPort->setValue(settings.port);
    ui->lineEditClientId->setText(text(settings.clientId));
    ui->lineEditTopic->setText(text(settings.topic));
    ui->lineEditStation->setText(text(settings.station));
    ui->lineEditUsername->setText(text(settings.username));
    ui->lineEditPassword->setText(text(settings.password));
    ui->checkBoxTls->setChecked(settings.tls);
    ui->lineEditCaFile->setText(text(settings.caFile));
    ui->lineEditCaFile->setEnabled(settings.tls);
    ui->pushButtonCaFile->setEnabled(settings.tls);
    ui->comboBoxQos->setCurrentIndex(qBound(0, settings.qos, 2));
}

MqttSettings DialogMqtt::formSettings() const
{
    const MqttSettings defaults;
    MqttSettings settings;
    settings.enabled = ui->checkBoxEnabled->isChecked();
    settings.host = utf8(ui->lineEditHost->text());
    settings.port = ui->spinBoxPort->value();
    settings.clientId = utf8(ui->lineEditClientId->text());
    if (settings.clientId.empty())
        settings.clientId = defaults.clientId;
    settings.topic = utf8(ui->lineEditTopic->text());
    settings.station = utf8(ui->lineEditStation->text());
    if (settings.station.empty())
        settings.station = defaults.station;
    settings.username = utf8(ui->lineEditUsername->text());
    // A password may begin or end with blanks.
    settings.password = ui->lineEditPassword->text().toUtf8().toStdString();
    settings.tls = ui->checkBoxTls->isChecked();
    settings.caFile = utf8(ui->lineEditCaFile->text());
    settings.qos = ui->comboBoxQos->currentIndex();
    return settings;
}

QString DialogMqtt::problem(const MqttSettings &settings) const
{
    if (settings.enabled && settings.host.empty())
        return QStringLiteral("启用MQTT发布时,服务器不能为空。");
    if (settings.port < 1 || settings.port > 65535)
        return QStringLiteral("端口应在 1 到 65535 之间。");
    if (settings.topic.empty())
        return QStringLiteral("主题前缀不能为空。");
    if (settings.topic.find_first_of("+#") != std::string::npos)
        return QStringLiteral("主题前缀不能包含 \"+\" 或 \"#\"。");
    if (settings.tls && !settings.caFile.empty() && !QFileInfo(text(settings.caFile)).isFile())
        return QStringLiteral("CA文件不存在:\n%1")
            .arg(QDir::toNativeSeparators(text(settings.caFile)));
    // Whatever else the publisher could not use.
    const std::vector<std::string> others = settings.validate();
    return others.empty() ? QString() : text(others.front());
}

QString DialogMqtt::changes(const MqttSettings &before, const MqttSettings &after)
{
    QStringList changed;
    const auto note = [&changed](const QString &name, const QString &from, const QString &to) {
        if (from != to)
            changed << QStringLiteral("%1: %2 → %3").arg(name, from, to);
    };
    note(QStringLiteral("启用"), yesNo(before.enabled), yesNo(after.enabled));
    note(QStringLiteral("服务器"), text(before.host), text(after.host));
    note(QStringLiteral("端口"), QString::number(before.port), QString::number(after.port));
    note(QStringLiteral("客户端ID"), text(before.clientId), text(after.clientId));
    note(QStringLiteral("主题前缀"), text(before.topic), text(after.topic));
    note(QStringLiteral("站点名"), text(before.station), text(after.station));
    note(QStringLiteral("用户名"), text(before.username), text(after.username));
    if (before.password != after.password)
        changed << QStringLiteral("密码已修改");
    note(QStringLiteral("TLS"), yesNo(before.tls), yesNo(after.tls));
    note(QStringLiteral("CA文件"), text(before.caFile), text(after.caFile));
    note(QStringLiteral("QoS"), QString::number(before.qos), QString::number(after.qos));
    return changed.join(QStringLiteral(","));
}

void DialogMqtt::accept()
{
    // The session may have ended while the form was open.
    if (!Accounts::instance().isAdministrator()) {
        MessageBoxes::rejectWithoutAdministrator();
        return;
    }
    const MqttSettings settings = formSettings();
    const QString refusal = problem(settings);
    if (!refusal.isEmpty()) {
        MessageBoxes::critical(QStringLiteral("错误"), refusal);
        return;
    }
    if (settings == current) {
        QDialog::accept();
        return;
    }
    auto *config = static_cast<ConfigFile *>(AppContext::instance().object(MqttConfig));
    if (!config) {
        MessageBoxes::critical(QStringLiteral("错误"), QStringLiteral("MQTT设置无法保存。"));
        return;
    }
    config->writeMqtt(settings);
    // Not applied unless stored: what runs is what the next start reads. A failure was told.
    if (MessageBoxes::storeSettings(config) == SettingsStore::Failed)
        return;
    Accounts::instance().audit(QStringLiteral("修改MQTT设置"), changes(current, settings));
    // Replacing the connection waits for the old one to end, which a slow DNS lookup or
    // connect may hold up: not on this thread.
    if (MqttPublisher *target = publisher)
        DatabaseTask(QStringLiteral("正在应用MQTT设置..."),
                     [target, settings](const DatabaseTask::Progress &) {
                         target->apply(settings);
                         return 0;
                     })
            .exec(this);
    current = settings;
    QDialog::accept();
}

void DialogMqtt::chooseCaFile()
{
    // Beside the file chosen before, else in the settings folder.
    const QString chosen = ui->lineEditCaFile->text().trimmed();
    const QString folder = QFileInfo(chosen.isEmpty() ? AppContext::instance().path(MqttConfig)
                                                      : chosen)
                               .absolutePath();
    const QString file =
        FileDialogs::openFile(this, QStringLiteral("选择CA文件"), folder,
                              QStringLiteral("证书文件(*.pem *.crt *.cer);;所有文件(*)"));
    if (!file.isEmpty())
        ui->lineEditCaFile->setText(QDir::toNativeSeparators(file));
}

void DialogMqtt::showState()
{
    ui->labelState->setText(QStringLiteral("当前状态:") +
                            (publisher ? MqttStatusLabel::describe(publisher->status())
                                       : QStringLiteral("未启用")));
}
