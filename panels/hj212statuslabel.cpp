#include "hj212statuslabel.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

#include <algorithm>

Hj212StatusLabel::Hj212StatusLabel(QWidget *parent) : QWidget(parent), row(new QHBoxLayout(this))
{
    setObjectName(QStringLiteral("widgetHj212"));
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(4);
    hide();
}

void Hj212StatusLabel::follow(Hj212Uploader *source)
{
    if (uploader)
        disconnect(uploader, nullptr, this, nullptr);
    uploader = source;
    if (source)
        // The links report from their own threads; the status is read here, on ours, once for
        // however many reports came meanwhile.
        connect(
            source, &Hj212Uploader::signal_statusChanged, this,
            [this] {
                if (refreshQueued)
                    return;
                refreshQueued = true;
                QTimer::singleShot(0, this, &Hj212StatusLabel::refresh);
            },
            Qt::QueuedConnection);
    refresh();
}

void Hj212StatusLabel::refresh()
{
    refreshQueued = false;
    showStatus(uploader ? uploader->status() : std::vector<Hj212Uploader::PointStatus>());
}

namespace {

// Beyond the bound: what the other causes do not account for.
qint64 overflowOf(const Hj212Link::Status &status)
{
    return std::max<qint64>(status.dropped - status.refused - status.damaged, 0);
}

// The losses for the label's text, each after a comma.
QString lossesText(const Hj212Link::Status &status)
{
    QString text;
    if (overflowOf(status) > 0)
        text += QStringLiteral(",已丢弃 %1 条").arg(overflowOf(status));
    if (status.refused > 0)
        text += QStringLiteral(",未能保存 %1 条").arg(status.refused);
    if (status.damaged > 0)
        text += QStringLiteral(",损坏 %1 条").arg(status.damaged);
    if (status.cursorDamaged)
        text += QStringLiteral(",队列游标损坏");
    return text;
}

} // namespace

QString Hj212StatusLabel::title(const Hj212Uploader::PointStatus &point)
{
    return point.platform + QLatin1Char(' ') + point.mn;
}

QString Hj212StatusLabel::describe(const Hj212Link::Status &status)
{
    QString text = status.state == Hj212Link::Connected ? QStringLiteral("已连接")
                   : status.state == Hj212Link::Off     ? QStringLiteral("未启用")
                                                        : QStringLiteral("正在重连");
    if (status.state == Hj212Link::Connecting && !status.reason.isEmpty())
        text += QStringLiteral("(%1)").arg(status.reason);
    if (!status.queueProblem.isEmpty())
        text += QStringLiteral(",%1").arg(status.queueProblem);
    if (status.backlog > 0)
        text += QStringLiteral(",待发送 %1 条").arg(status.backlog);
    if (status.requests > 0)
        text += QStringLiteral(",补发请求 %1 个").arg(status.requests);
    return text + lossesText(status);
}

void Hj212StatusLabel::showStatus(const std::vector<Hj212Uploader::PointStatus> &points)
{
    while (labels.size() > points.size()) {
        delete labels.back();
        labels.pop_back();
    }
    while (labels.size() < points.size()) {
        auto *label = new QLabel(this);
        label->setObjectName(QStringLiteral("labelHj212_%1").arg(labels.size()));
        row->addWidget(label);
        labels.push_back(label);
    }
    for (size_t i = 0; i < points.size(); ++i) {
        const Hj212Link::Status &status = points[i].status;
        QLabel *label = labels[i];
        // What keeps messages from the platform comes first; the state stays in the tooltip.
        QString text = QStringLiteral("HJ212 %1 ").arg(title(points[i])) +
                       (!status.queueProblem.isEmpty()         ? status.queueProblem
                        : status.state == Hj212Link::Connected ? QStringLiteral("已连接")
                                                               : QStringLiteral("正在重连…"));
        text += lossesText(status);
        QStringList tip;
        if (!status.queueProblem.isEmpty())
            tip << QStringLiteral("%1:新的消息无法保存,每分钟重试一次;分钟、小时和日数据随后补上")
                       .arg(status.queueProblem)
                << QStringLiteral("连接:%1").arg(status.state == Hj212Link::Connected
                                                     ? QStringLiteral("已连接")
                                                     : QStringLiteral("正在重连"));
        if (status.state == Hj212Link::Connecting && !status.reason.isEmpty())
            tip << status.reason;
        if (status.backlog > 0)
            tip << QStringLiteral("待发送 %1 条").arg(status.backlog);
        if (status.requests > 0)
            tip << QStringLiteral("正在补发 %1 个历史数据请求").arg(status.requests);
        // Gone for good: the platform will never get these messages.
        if (overflowOf(status) > 0)
            tip << QStringLiteral("积压超出上限,最早的 %1 条消息已丢弃").arg(overflowOf(status));
        if (status.refused > 0)
            tip << QStringLiteral("%1 条实时数据未能保存,未上传").arg(status.refused);
        if (status.damaged > 0)
            tip << QStringLiteral("队列文件损坏,至少 %1 条消息无法读取").arg(status.damaged);
        if (status.cursorDamaged)
            tip << QStringLiteral("队列游标损坏,已保存的消息全部重新发送");
        if (!status.uncoded.isEmpty())
            tip << QStringLiteral("没有编码、不上传:%1")
                       .arg(status.uncoded.join(QStringLiteral("、")));
        if (text != label->text())
            label->setText(text);
        label->setToolTip(tip.join(QLatin1Char('\n')));
        const QString style =
            status.dropped > 0 || !status.queueProblem.isEmpty() || status.cursorDamaged
                ? QStringLiteral("QLabel { color: white; background: #c62828; padding: 0 6px; "
                                 "font-weight: bold; }")
            : status.state != Hj212Link::Connected
                ? QStringLiteral("QLabel { background: #ffd54f; padding: 0 6px; }")
                : QStringLiteral("QLabel { padding: 0 6px; }");
        if (style != label->styleSheet())
            label->setStyleSheet(style);
    }
    setVisible(!points.empty());
}
