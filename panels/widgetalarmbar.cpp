#include "widgetalarmbar.h"
#include "ui_widgetalarmbar.h"

#include <QHeaderView>
#include <QPushButton>

namespace {

constexpr int columnButton = 5;

QTableWidgetItem *centredItem(const QString &text)
{
    auto *item = new QTableWidgetItem(text);
    item->setTextAlignment(Qt::AlignCenter);
    return item;
}

} // namespace

WidgetAlarmBar::WidgetAlarmBar(QWidget *parent) : QWidget(parent), ui(new Ui::WidgetAlarmBar)
{
    ui->setupUi(this);
    QTableWidget *table = ui->tableWidgetAlarm;
    table->verticalHeader()->hide();
    table->horizontalHeader()->setStyleSheet(
        QStringLiteral("QHeaderView::section{background:#ffcdd2;}"));
    QHeaderView *header = table->horizontalHeader();
    header->setSectionResizeMode(QHeaderView::Stretch);
    // Set once rather than fitted to the contents, which would be measured at every change.
    const int margins = 24;
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->resizeSection(0, table->fontMetrics().horizontalAdvance(
                                 QStringLiteral("0000-00-00 00:00:00")) +
                                 margins);
    header->setSectionResizeMode(columnButton, QHeaderView::Fixed);
    header->resizeSection(columnButton, table->fontMetrics().horizontalAdvance(
                                            QStringLiteral("已确认")) +
                                            2 * margins);
    // A fixed height: a new alarm never moves the pages above; more rows scroll.
    table->setFixedHeight(header->sizeHint().height() +
                          visibleRows * table->verticalHeader()->defaultSectionSize() +
                          2 * table->frameWidth());
    connect(ui->pushButtonAckAll, &QPushButton::clicked, this, &WidgetAlarmBar::signal_ackAll);
    updateShown();
}

WidgetAlarmBar::~WidgetAlarmBar()
{
    delete ui;
}

void WidgetAlarmBar::showAlarm(const Entry &entry)
{
    QTableWidget *table = ui->tableWidgetAlarm;
    const QString texts[5] = {entry.time, entry.name, entry.kind, entry.value, entry.limit};
    auto found = rows.find(entry.key);
    if (found == rows.end()) {
        table->insertRow(0);
        for (int c = 0; c < 5; ++c)
            table->setItem(0, c, centredItem(texts[c]));
        auto *button = new QPushButton(QStringLiteral("确认"));
        const qint64 key = entry.key;
        connect(button, &QPushButton::clicked, this, [this, key] { emit signal_ack(key); });
        table->setCellWidget(0, columnButton, button);
        found = rows.emplace(key, Row{table->item(0, 0), button, false, false, entry.kind}).first;
    } else {
        const int r = found->second.time->row();
        found->second.kind = entry.kind;
        for (int c = 0; c < 5; ++c)
            table->item(r, c)->setText(texts[c]);
        // Once cleared it stays so: a raise still on its way does not undo that.
        if (found->second.recovered)
            showRecovered(found->second);
    }
    if (entry.acked && !found->second.acked)
        showAcked(found->second);
    if (entry.recovered && !found->second.recovered)
        showRecovered(found->second);
    updateShown();
}

void WidgetAlarmBar::removeAlarm(qint64 key)
{
    const auto found = rows.find(key);
    if (found == rows.end())
        return;
    ui->tableWidgetAlarm->removeRow(found->second.time->row());
    rows.erase(found);
    updateShown();
}

void WidgetAlarmBar::setAcked(qint64 key)
{
    const auto found = rows.find(key);
    if (found == rows.end() || found->second.acked)
        return;
    showAcked(found->second);
    updateShown();
}

void WidgetAlarmBar::setRecovered(qint64 key)
{
    const auto found = rows.find(key);
    if (found == rows.end() || found->second.recovered)
        return;
    showRecovered(found->second);
    updateShown();
}

bool WidgetAlarmBar::isRecovered(qint64 key) const
{
    const auto found = rows.find(key);
    return found != rows.end() && found->second.recovered;
}

bool WidgetAlarmBar::isAcked(qint64 key) const
{
    const auto found = rows.find(key);
    return found != rows.end() && found->second.acked;
}

QStringList WidgetAlarmBar::rowTexts(qint64 key) const
{
    const auto found = rows.find(key);
    if (found == rows.end())
        return {};
    const int r = found->second.time->row();
    QStringList texts;
    for (int c = 0; c < 5; ++c)
        texts << ui->tableWidgetAlarm->item(r, c)->text();
    return texts;
}

void WidgetAlarmBar::showAcked(Row &row)
{
    row.acked = true;
    row.button->setText(QStringLiteral("已确认"));
    row.button->setEnabled(false);
}

void WidgetAlarmBar::showRecovered(Row &row)
{
    row.recovered = true;
    QTableWidget *table = ui->tableWidgetAlarm;
    const int r = row.time->row();
    table->item(r, 2)->setText(row.kind + QStringLiteral("（已恢复）"));
    for (int c = 0; c < 5; ++c)
        table->item(r, c)->setForeground(QBrush(Qt::gray));
}

void WidgetAlarmBar::updateShown()
{
    int open = 0;
    int recovered = 0;
    for (const auto &entry : rows) {
        open += entry.second.acked ? 0 : 1;
        recovered += entry.second.recovered ? 1 : 0;
    }
    QString title = QStringLiteral("当前报警 %1 条").arg(int(rows.size()) - recovered);
    if (recovered > 0)
        title += QStringLiteral("，已恢复待确认 %1 条").arg(recovered);
    ui->labelTitle->setText(title + QStringLiteral("，未确认 %1 条").arg(open));
    ui->pushButtonAckAll->setEnabled(open > 0);
    setVisible(!rows.empty());
}
