#include "mqttstatuslabel.h"

#include <QStringList>

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

void MqttStatusLabel::showStatus(const MqttPublisher::Status &status)
{
    QString text = status.state == MqttPublisher::Connected ? QStringLiteral("MQTT 已连接")
                   : status.state == MqttPublisher::Off     ? QStringLiteral("MQTT 未启用")
                                                            : QStringLiteral("MQTT 正在重连…");
    QStringList tip;
    if (status.state == MqttPublisher::Connecting && !status.reason.isEmpty())
        tip << status.reason;
    // A backlog left from an earlier run stays on disk while publishing is off.
    if (status.backlog > 0)
        tip << QStringLiteral("待发送 %1 条").arg(status.backlog);
    if (status.dropped > 0) {
        // Gone for good: the broker will never hold these rows of the database.
        text += QStringLiteral(",已丢弃 %1 条").arg(status.dropped);
        tip << QStringLiteral("积压超出上限,最早的 %1 条消息已丢弃").arg(status.dropped);
    }
    // Most reports only move the backlog: the text and the style, which lays out and polishes
    // the label again, are set only when they change.
    if (text != this->text())
        setText(text);
    setToolTip(tip.join(QLatin1Char('\n')));
    const QString style = status.dropped > 0
                              ? QStringLiteral("QLabel { color: white; background: #c62828; "
                                               "padding: 0 6px; font-weight: bold; }")
                          : status.state == MqttPublisher::Connecting
                              ? QStringLiteral("QLabel { background: #ffd54f; padding: 0 6px; }")
                              : QStringLiteral("QLabel { padding: 0 6px; }");
    if (style != styleSheet())
        setStyleSheet(style);
}

QString MqttStatusLabel::describe(const MqttPublisher::Status &status)
{
    QString text = status.state == MqttPublisher::Connected ? QStringLiteral("已连接")
                   : status.state == MqttPublisher::Off     ? QStringLiteral("未启用")
                                                            : QStringLiteral("正在重连");
    if (status.state == MqttPublisher::Connecting && !status.reason.isEmpty())
        text += QStringLiteral("(%1)").arg(status.reason);
    if (status.backlog > 0)
        text += QStringLiteral(",待发送 %1 条").arg(status.backlog);
    if (status.dropped > 0)
        text += QStringLiteral(",已丢弃 %1 条").arg(status.dropped);
    return text;
}
