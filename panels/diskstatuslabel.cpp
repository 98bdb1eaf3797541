#include "diskstatuslabel.h"

DiskStatusLabel::DiskStatusLabel(QWidget *parent) : QLabel(parent)
{
    setObjectName(QStringLiteral("labelDisk"));
    showStatus(DiskGuard::Status());
}

void DiskStatusLabel::follow(DiskGuard *guard)
{
    connect(guard, &DiskGuard::signal_changed, this,
            [this, guard] { showStatus(guard->status()); });
    showStatus(guard->status());
}

void DiskStatusLabel::showStatus(const DiskGuard::Status &status)
{
    const QString space = DiskGuard::bytesText(status.freeBytes);
    QString text, style;
    switch (status.level) {
    case DiskGuard::Critical:
        text = QStringLiteral("磁盘将满:剩余 %1,已暂停备份和导出").arg(space);
        style = QStringLiteral("QLabel { color: white; background: #c62828; padding: 0 6px; "
                               "font-weight: bold; }");
        break;
    case DiskGuard::Low:
        text = QStringLiteral("磁盘空间不足:剩余 %1").arg(space);
        style = QStringLiteral("QLabel { background: #ffd54f; padding: 0 6px; }");
        break;
    case DiskGuard::Enough:
        text = QStringLiteral("磁盘剩余 %1").arg(space);
        style = QStringLiteral("QLabel { padding: 0 6px; }");
        break;
    case DiskGuard::Unknown:
        text = status.error.isEmpty() ? QString() : QStringLiteral("磁盘空间未知");
        style = QStringLiteral("QLabel { padding: 0 6px; }");
        break;
    }
    if (text != this->text())
        setText(text);
    setVisible(!text.isEmpty());
    setToolTip(status.folder.isEmpty() ? QString() : DiskGuard::describe(status));
    if (style != styleSheet())
        setStyleSheet(style);
}
