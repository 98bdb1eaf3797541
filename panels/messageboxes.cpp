#include "messageboxes.h"

#include <QtGlobal>

namespace {
MessageBoxes::Responder &responder()
{
    static MessageBoxes::Responder current;
    return current;
}

bool unattendedMode = false;

QMessageBox::StandardButton unattendedAnswer(const MessageBoxes::Box &box)
{
    if (box.defaultButton != QMessageBox::NoButton)
        return box.defaultButton;
    for (QMessageBox::StandardButton button : {QMessageBox::No, QMessageBox::Cancel})
        if (box.buttons & button)
            return button;
    return QMessageBox::Ok;
}
} // namespace

QMessageBox::StandardButton MessageBoxes::critical(const QString &title, const QString &text)
{
    return show({QMessageBox::Critical, title, text, QMessageBox::Ok, QMessageBox::Ok});
}

QMessageBox::StandardButton MessageBoxes::information(const QString &title, const QString &text)
{
    return show({QMessageBox::Information, title, text, QMessageBox::Ok, QMessageBox::Ok});
}

QMessageBox::StandardButton MessageBoxes::warning(const QString &title, const QString &text,
                                                  QMessageBox::StandardButtons buttons,
                                                  QMessageBox::StandardButton defaultButton)
{
    return show({QMessageBox::Warning, title, text, buttons, defaultButton});
}

void MessageBoxes::rejectWhileRunning()
{
    critical(QStringLiteral("错误"), QStringLiteral("系统运行中无法进行此操作,请停止系统后重试。"));
}

void MessageBoxes::rejectWithoutAdministrator()
{
    critical(QStringLiteral("错误"), administratorRequired());
}

QString MessageBoxes::administratorRequired()
{
    return QStringLiteral("请先以管理员身份登录。");
}

void MessageBoxes::setResponder(Responder value)
{
    responder() = std::move(value);
}

void MessageBoxes::setUnattended(bool unattended)
{
    unattendedMode = unattended;
}

QMessageBox::StandardButton MessageBoxes::show(const Box &box)
{
    // Every box is a warning, an error or a result someone may have to trace later: it goes to
    // the log (and standard error) whether or not anyone sees it.
    const QByteArray line = (box.title + QStringLiteral(": ") + box.text).simplified().toUtf8();
    if (box.icon == QMessageBox::Critical)
        qCritical("hydrovane: %s", line.constData());
    else if (box.icon == QMessageBox::Warning)
        qWarning("hydrovane: %s", line.constData());
    else
        qInfo("hydrovane: %s", line.constData());
    if (unattendedMode)
        return unattendedAnswer(box);
    if (responder())
        return responder()(box);
    QMessageBox dialog(box.icon, box.title, box.text, box.buttons);
    if (box.defaultButton != QMessageBox::NoButton)
        dialog.setDefaultButton(box.defaultButton);
    return static_cast<QMessageBox::StandardButton>(dialog.exec());
}

SettingsStore::Result MessageBoxes::storeSettings(ConfigFile *config)
{
    const SettingsStore::Result result = SettingsStore::save(config);
    if (result == SettingsStore::Failed)
        critical(QStringLiteral("错误"), SettingsStore::failureText(config));
    return result;
}
