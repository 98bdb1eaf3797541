#include "mqttstatuslabel.h"

#include <QStringList>

#include <algorithm>

MqttStatusLabel::MqttStatusLabel(QWidget *parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("labelMqtt"));
    showStatus(MqttPublisher::Status());
}

void MqttStatusLabel::follow(MqttPublisher *publisher)
{
    if (!publisher) {
        showStatus(MqttPublisher::Status());
        return;
    }
    // The publisher reports from its own thread; its status is read here, on ours.
    connect(
        publisher, &MqttPublisher::signal_statusChanged, this,
        [this, publisher] { showStatus(publisher->status()); }, Qt::QueuedConnection);
    showStatus(publisher->status());
}

namespace {

QString stateText(const MqttPublisher::Status &status)
{
    if (status.state == MqttPublisher::Off)
        return status.reason.isEmpty() ? QStringLiteral("未启用") : QStringLiteral("设置无效");
    return status.state == MqttPublisher::Connected ? QStringLiteral("已连接")
                                                    : QStringLiteral("正在重连");
}

// Beyond the bound: what the other causes do not account for.
qint64 overflowOf(const MqttPublisher::Status &status)
{
    return std::max<qint64>(status.dropped - status.refused - status.damaged, 0);
}

// The losses for the label's text, each after a comma.
QString lossesText(const MqttPublisher::Status &status)
{
    QString text;
    if (overflowOf(status) > 0)
        text += QStringLiteral(",已丢弃 %1 条").arg(overflowOf(status));
    if (status.refused > 0)
        text += QStringLiteral(",未能发布 %1 条").arg(status.refused);
    if (status.damaged > 0)
        text += QStringLiteral(",损坏 %1 条").arg(status.damaged);
    if (status.cursorDamaged)
        text += QStringLiteral(",队列游标损坏");
    return text;
}

} // namespace

void MqttStatusLabel::showStatus(const MqttPublisher::Status &status)
{
    // What keeps messages from the broker comes first; the state stays in the tooltip.
    QString text = QStringLiteral("MQTT ") + (!status.queueProblem.isEmpty() ? status.queueProblem
                                              : status.state == MqttPublisher::Connecting
                                                  ? QStringLiteral("正在重连…")
                                                  : stateText(status));
    text += lossesText(status);
    QStringList tip;
    if (!status.queueProblem.isEmpty()) {
        tip << QStringLiteral("%1:新的消息无法保存,每分钟重试一次").arg(status.queueProblem);
        tip << QStringLiteral("连接:%1").arg(stateText(status));
    }
    if (status.state != MqttPublisher::Connected && !status.reason.isEmpty())
        tip << status.reason;
    // A backlog left from an earlier run stays on disk while publishing is off.
    if (status.backlog > 0)
        tip << QStringLiteral("待发送 %1 条").arg(status.backlog);
    // Gone for good: the broker will never hold these rows of the database.
    if (overflowOf(status) > 0)
        tip << QStringLiteral("积压超出上限,最早的 %1 条消息已丢弃").arg(overflowOf(status));
    if (status.refused > 0)
        tip << QStringLiteral("%1 条消息未能发布(%2)")
                   .arg(status.refused)
                   .arg(status.refusedReason);
    if (status.damaged > 0)
        tip << QStringLiteral("队列文件损坏,至少 %1 条消息无法读取").arg(status.damaged);
    if (status.cursorDamaged)
        tip << QStringLiteral("队列游标损坏,已保存的消息全部重新发送");
    const bool trouble = status.dropped > 0 || !status.queueProblem.isEmpty() ||
                         status.cursorDamaged ||
                         (status.state == MqttPublisher::Off && !status.reason.isEmpty());
    // Most reports only move the backlog: the text and the style, which lays out and polishes
    // the label again, are set only when they change.
    if (text != this->text())
        setText(text);
    setToolTip(tip.join(QLatin1Char('\n')));
    const QString style = trouble ? QStringLiteral("QLabel { color: white; background: #c62828; "
                                                   "padding: 0 6px; font-weight: bold; }")
                          : status.state == MqttPublisher::Connecting
                              ? QStringLiteral("QLabel { background: #ffd54f; padding: 0 6px; }")
                              : QStringLiteral("QLabel { padding: 0 6px; }");
    if (style != styleSheet())
        setStyleSheet(style);
}

QString MqttStatusLabel::describe(const MqttPublisher::Status &status)
{
    QString text = stateText(status);
    if (status.state != MqttPublisher::Connected && !status.reason.isEmpty())
        text += QStringLiteral("(%1)").arg(status.reason);
    if (!status.queueProblem.isEmpty())
        text += QStringLiteral(",%1").arg(status.queueProblem);
    if (status.backlog > 0)
        text += QStringLiteral(",待发送 %1 条").arg(status.backlog);
    return text + lossesText(status);
}
