#ifndef CENTREDITEM_H
#define CENTREDITEM_H

#include <QTableWidgetItem>

// A read-only table cell: its text, always centred, also as tooltip for texts cut short by
// narrow columns. Holding nothing else keeps a table of a million rows to about half the
// memory of an item that stores the alignment as data of its own.
class CentredItem : public QTableWidgetItem
{
public:
    explicit CentredItem(const QString &text);
    QVariant data(int role) const override;

private:
    const QString text;
};

#endif // CENTREDITEM_H
