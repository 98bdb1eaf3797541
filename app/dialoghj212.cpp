#include "dialoghj212.h"
#include "ui_dialoghj212.h"

#include "app/appcontext.h"
#include "hj212/hj212uploader.h"
#include "panels/databasetask.h"
#include "panels/hj212statuslabel.h"
#include "panels/messageboxes.h"
#include "settings/configfile.h"
#include "settings/settingsstore.h"
#include "storage/accounts.h"

#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidgetItem>

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

QString monitorsText(const std::vector<std::string> &monitors)
{
    QStringList names;
    for (const std::string &monitor : monitors)
        names << text(monitor);
    return names.join(QStringLiteral("、"));
}

std::vector<std::string> monitorsOf(const QString &textValue)
{
    std::vector<std::string> monitors;
    for (const QString &name :
         textValue.split(QRegularExpression(QStringLiteral("[、,，]")), Qt::SkipEmptyParts))
        if (!name.trimmed().isEmpty())
            monitors.push_back(utf8(name));
    return monitors;
}

std::map<std::string, std::string> monitorModels()
{
    auto *config = static_cast<ConfigFile *>(AppContext::instance().object(MonitorConfig));
    return config ? config->monitorModels() : std::map<std::string, std::string>();
}

QString cell(const QTableWidget *table, int row, int column)
{
    const QTableWidgetItem *item = table->item(row, column);
    return item ? item->text() : QString();
}

} // namespace

DialogHj212::DialogHj212(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogHj212),
      uploader(static_cast<Hj212Uploader *>(AppContext::instance().object(Hj212Outbox)))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->labelCodesHint->setWordWrap(true);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &DialogHj212::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &DialogHj212::reject);
    connect(ui->listWidgetPlatforms, &QListWidget::currentRowChanged, this,
            &DialogHj212::selectPlatform);
    connect(ui->pushButtonAddPlatform, &QPushButton::clicked, this, &DialogHj212::addPlatform);
    connect(ui->pushButtonRemovePlatform, &QPushButton::clicked, this,
            &DialogHj212::removePlatform);
    connect(ui->pushButtonAddPoint, &QPushButton::clicked, this,
            [this] { ui->tableWidgetPoints->insertRow(ui->tableWidgetPoints->rowCount()); });
    connect(ui->pushButtonRemovePoint, &QPushButton::clicked, this,
            [this] { ui->tableWidgetPoints->removeRow(ui->tableWidgetPoints->currentRow()); });
    connect(ui->pushButtonAddCode, &QPushButton::clicked, this,
            [this] { ui->tableWidgetCodes->insertRow(ui->tableWidgetCodes->rowCount()); });
    connect(ui->pushButtonRemoveCode, &QPushButton::clicked, this,
            [this] { ui->tableWidgetCodes->removeRow(ui->tableWidgetCodes->currentRow()); });
    // What runs is what the uploader was given, also when the file could not be used.
    if (uploader) {
        current = uploader->settings();
        connect(uploader, &Hj212Uploader::signal_statusChanged, this, &DialogHj212::showState,
                Qt::QueuedConnection);
    }
    edited = current;
    for (const Hj212Settings::Platform &platform : edited.platforms)
        ui->listWidgetPlatforms->addItem(text(platform.name));
    fillCodes(edited.codes);
    showPlatform(edited.platforms.empty() ? -1 : 0);
    if (!edited.platforms.empty())
        ui->listWidgetPlatforms->setCurrentRow(0);
    showState();
    if (!Accounts::instance().isAdministrator())
        ui->buttonBox->button(QDialogButtonBox::Ok)
            ->setToolTip(MessageBoxes::administratorRequired());
}

DialogHj212::~DialogHj212()
{
    delete ui;
}

void DialogHj212::fillCodes(const std::map<std::string, std::string> &codes)
{
    QTableWidget *table = ui->tableWidgetCodes;
    table->setRowCount(0);
    for (const auto &entry : codes) {
        const int row = table->rowCount();
        table->insertRow(row);
        table->setItem(row, 0, new QTableWidgetItem(text(entry.first)));
        table->setItem(row, 1, new QTableWidgetItem(text(entry.second)));
    }
}

void DialogHj212::showPlatform(int index)
{
    shown = index;
    const bool any = index >= 0 && index < int(edited.platforms.size());
    ui->groupBoxPlatform->setEnabled(any);
    ui->pushButtonRemovePlatform->setEnabled(any);
    ui->pushButtonAddPlatform->setEnabled(int(edited.platforms.size()) <
                                          Hj212Settings::maxPlatforms);
    const Hj212Settings::Platform platform =
        any ? edited.platforms[size_t(index)] : Hj212Settings::Platform();
    ui->checkBoxEnabled->setChecked(platform.enabled);
    ui->lineEditName->setText(text(platform.name));
    ui->lineEditHost->setText(text(platform.host));
    ui->spinBoxPort->setValue(platform.port);
    ui->comboBoxSt->setCurrentText(text(platform.st));
    ui->lineEditPw->setText(text(platform.pw));
    ui->spinBoxRtd->setValue(platform.rtdInterval);
    ui->comboBoxMinute->setCurrentText(QString::number(platform.minuteInterval));
    ui->spinBoxOverTime->setValue(platform.overTime);
    ui->spinBoxReCount->setValue(platform.reCount);
    QTableWidget *table = ui->tableWidgetPoints;
    table->setRowCount(0);
    for (const Hj212Settings::Point &point : platform.points) {
        const int row = table->rowCount();
        table->insertRow(row);
        table->setItem(row, 0, new QTableWidgetItem(text(point.mn)));
        table->setItem(row, 1, new QTableWidgetItem(monitorsText(point.monitors)));
    }
}

void DialogHj212::storePlatform()
{
    if (shown < 0 || shown >= int(edited.platforms.size()))
        return;
    Hj212Settings::Platform &platform = edited.platforms[size_t(shown)];
    platform.enabled = ui->checkBoxEnabled->isChecked();
    platform.name = utf8(ui->lineEditName->text());
    platform.host = utf8(ui->lineEditHost->text());
    platform.port = ui->spinBoxPort->value();
    platform.st = utf8(ui->comboBoxSt->currentText());
    // A password is taken as typed: its blanks are refused, not dropped.
    platform.pw = ui->lineEditPw->text().toUtf8().toStdString();
    platform.rtdInterval = ui->spinBoxRtd->value();
    platform.minuteInterval = ui->comboBoxMinute->currentText().toInt();
    platform.overTime = ui->spinBoxOverTime->value();
    platform.reCount = ui->spinBoxReCount->value();
    platform.points.clear();
    const QTableWidget *table = ui->tableWidgetPoints;
    for (int row = 0; row < table->rowCount(); ++row) {
        Hj212Settings::Point point;
        point.mn = utf8(cell(table, row, 0));
        point.monitors = monitorsOf(cell(table, row, 1));
        if (!point.mn.empty() || !point.monitors.empty())
            platform.points.push_back(point);
    }
    if (QListWidgetItem *item = ui->listWidgetPlatforms->item(shown))
        item->setText(text(platform.name));
}

void DialogHj212::selectPlatform(int row)
{
    if (row == shown)
        return;
    storePlatform();
    showPlatform(row);
}

void DialogHj212::addPlatform()
{
    if (int(edited.platforms.size()) >= Hj212Settings::maxPlatforms)
        return;
    storePlatform();
    Hj212Settings::Platform platform;
    platform.name = "平台" + std::to_string(edited.platforms.size() + 1);
    platform.port = 8000;
    edited.platforms.push_back(platform);
    ui->listWidgetPlatforms->addItem(text(platform.name));
    shown = -1;
    ui->listWidgetPlatforms->setCurrentRow(int(edited.platforms.size()) - 1);
}

void DialogHj212::removePlatform()
{
    if (shown < 0 || shown >= int(edited.platforms.size()))
        return;
    const int removed = shown;
    edited.platforms.erase(edited.platforms.begin() + removed);
    shown = -1;
    delete ui->listWidgetPlatforms->takeItem(removed);
    const int next = std::min(removed, int(edited.platforms.size()) - 1);
    showPlatform(next);
    ui->listWidgetPlatforms->setCurrentRow(next);
}

Hj212Settings DialogHj212::formSettings()
{
    storePlatform();
    Hj212Settings settings = edited;
    settings.codes.clear();
    const QTableWidget *table = ui->tableWidgetCodes;
    for (int row = 0; row < table->rowCount(); ++row) {
        const std::string factor = utf8(cell(table, row, 0));
        if (!factor.empty())
            settings.codes[factor] = utf8(cell(table, row, 1));
    }
    return settings;
}

QString DialogHj212::changes(const Hj212Settings &before, const Hj212Settings &after)
{
    QStringList changed;
    const auto find = [](const Hj212Settings &settings, const std::string &name) {
        for (const Hj212Settings::Platform &platform : settings.platforms)
            if (platform.name == name)
                return &platform;
        return static_cast<const Hj212Settings::Platform *>(nullptr);
    };
    for (const Hj212Settings::Platform &old : before.platforms)
        if (!find(after, old.name))
            changed << QStringLiteral("删除平台 %1").arg(text(old.name));
    for (const Hj212Settings::Platform &now : after.platforms) {
        const Hj212Settings::Platform *old = find(before, now.name);
        const QString name = text(now.name);
        if (!old) {
            changed << QStringLiteral("添加平台 %1(%2:%3)").arg(name, text(now.host)).arg(now.port);
            continue;
        }
        const auto note = [&](const QString &what, const QString &from, const QString &to) {
            if (from != to)
                changed << QStringLiteral("%1 %2: %3 → %4").arg(name, what, from, to);
        };
        note(QStringLiteral("启用"), yesNo(old->enabled), yesNo(now.enabled));
        note(QStringLiteral("地址"), text(old->host), text(now.host));
        note(QStringLiteral("端口"), QString::number(old->port), QString::number(now.port));
        note(QStringLiteral("ST"), text(old->st), text(now.st));
        if (old->pw != now.pw)
            changed << QStringLiteral("%1 访问密码已修改").arg(name);
        note(QStringLiteral("实时数据间隔"), QString::number(old->rtdInterval),
             QString::number(now.rtdInterval));
        note(QStringLiteral("分钟数据间隔"), QString::number(old->minuteInterval),
             QString::number(now.minuteInterval));
        note(QStringLiteral("应答超时"), QString::number(old->overTime),
             QString::number(now.overTime));
        note(QStringLiteral("重发次数"), QString::number(old->reCount),
             QString::number(now.reCount));
        QStringList oldPoints, newPoints;
        for (const Hj212Settings::Point &point : old->points)
            oldPoints << text(point.mn) + QLatin1Char('(') + monitorsText(point.monitors) + ')';
        for (const Hj212Settings::Point &point : now.points)
            newPoints << text(point.mn) + QLatin1Char('(') + monitorsText(point.monitors) + ')';
        note(QStringLiteral("监测点"), oldPoints.join(' '), newPoints.join(' '));
    }
    for (const auto &entry : after.codes) {
        const auto old = before.codes.find(entry.first);
        if (old == before.codes.end() || old->second != entry.second)
            changed << QStringLiteral("编码 %1: %2 → %3")
                           .arg(text(entry.first),
                                old == before.codes.end() ? QStringLiteral("无")
                                                          : text(old->second),
                                entry.second.empty() ? QStringLiteral("不上传")
                                                     : text(entry.second));
    }
    for (const auto &entry : before.codes)
        if (!after.codes.count(entry.first))
            changed
                << QStringLiteral("编码 %1: %2 → 无").arg(text(entry.first), text(entry.second));
    return changed.join(QStringLiteral(","));
}

void DialogHj212::accept()
{
    // The session may have ended while the form was open.
    if (!Accounts::instance().isAdministrator()) {
        MessageBoxes::rejectWithoutAdministrator();
        return;
    }
    const Hj212Settings settings = formSettings();
    const std::map<std::string, std::string> models = monitorModels();
    const std::vector<std::string> problems = settings.validate(models);
    if (!problems.empty()) {
        MessageBoxes::critical(QStringLiteral("错误"), text(problems.front()));
        return;
    }
    if (settings == current) {
        QDialog::accept();
        return;
    }
    auto *config = static_cast<ConfigFile *>(AppContext::instance().object(Hj212Config));
    if (!config) {
        MessageBoxes::critical(QStringLiteral("错误"), QStringLiteral("数据上传设置无法保存。"));
        return;
    }
    config->writeHj212(settings);
    // Not applied unless stored: what runs is what the next start reads. A failure was told.
    if (MessageBoxes::storeSettings(config) == SettingsStore::Failed)
        return;
    Accounts::instance().audit(QStringLiteral("修改数据上传设置"), changes(current, settings));
    // The old links end first, which a connect under way holds up: not on this thread.
    if (Hj212Uploader *target = uploader)
        DatabaseTask(QStringLiteral("正在应用数据上传设置..."),
                     [target, settings, models](const DatabaseTask::Progress &) {
                         target->apply(settings, models);
                         return 0;
                     })
            .exec(this);
    current = settings;
    QDialog::accept();
}

void DialogHj212::showState()
{
    QStringList lines;
    if (uploader)
        for (const Hj212Uploader::PointStatus &point : uploader->status())
            lines << Hj212StatusLabel::title(point) + QStringLiteral(":") +
                         Hj212StatusLabel::describe(point.status);
    ui->labelState->setText(QStringLiteral("当前状态:") +
                            (lines.isEmpty() ? QStringLiteral("未上传") : lines.join('\n')));
}
