#ifndef WIDGETALARMBAR_H
#define WIDGETALARMBAR_H

#include <QString>
#include <QWidget>

#include <map>

class QPushButton;
class QTableWidgetItem;

namespace Ui {
class WidgetAlarmBar;
}

// The main window's list of alarms, newest first: time, name, kind, value and limit, with 确认
// per alarm and 全部确认. An alarm that cleared before it was acknowledged stays, greyed and
// marked 已恢复, until it is. It changes only when an alarm is raised, cleared or acknowledged,
// and hides while none is listed.
class WidgetAlarmBar : public QWidget
{
    Q_OBJECT

public:
    // What a row shows; `key` is the alarm's identity for the acknowledgement.
    struct Entry
    {
        qint64 key = 0;
        QString time;
        QString name;
        QString kind;
        QString value;
        QString limit;
        bool acked = false;
        bool recovered = false; // cleared, listed until acknowledged
    };

    static constexpr int visibleRows = 4;

    explicit WidgetAlarmBar(QWidget *parent = nullptr);
    ~WidgetAlarmBar() override;

    // Adds the alarm at the top, or updates its row when it is listed.
    void showAlarm(const Entry &entry);
    void removeAlarm(qint64 key);
    void setAcked(qint64 key);
    // The alarm cleared: marked 已恢复 and kept until it is acknowledged.
    void setRecovered(qint64 key);

    int count() const { return int(rows.size()); }
    bool contains(qint64 key) const { return rows.count(key) > 0; }
    bool isAcked(qint64 key) const;
    bool isRecovered(qint64 key) const;
    // The row's texts, time to limit; empty when it is not listed.
    QStringList rowTexts(qint64 key) const;

signals:
    void signal_ack(qint64 key);
    void signal_ackAll();

private:
    struct Row
    {
        QTableWidgetItem *time;
        QPushButton *button;
        bool acked;
        bool recovered;
        QString kind;
    };
    void showAcked(Row &row);
    void showRecovered(Row &row);
    void updateShown();

    Ui::WidgetAlarmBar *ui;
    std::map<qint64, Row> rows;
};

#endif // WIDGETALARMBAR_H
