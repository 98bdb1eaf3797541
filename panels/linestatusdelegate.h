#ifndef LINESTATUSDELEGATE_H
#define LINESTATUSDELEGATE_H

#include <QFont>
#include <QGlyphRun>
#include <QRawFont>
#include <QStaticText>
#include <QStyledItemDelegate>

#include <vector>

// Paints the cells of the 通讯状态 table from laid-out texts kept per cell. The table is
// repainted after every pass and its counters and times change each time; shaping those
// texts anew is most of what a style's painting costs. Texts the view's own font covers
// (the figures) are placed glyph by glyph from advances measured once; the others (names,
// states) are laid out once per change.
class LineStatusDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit LineStatusDelegate(int columns, QObject *parent = nullptr);

    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;

private:
    struct Cell
    {
        QString text;
        QFont font;
        bool placed = false; // glyphs placed directly; otherwise laidOut holds the text
        QGlyphRun glyphs;
        QStaticText laidOut;
        qreal width = 0;
        qreal height = 0;
    };

    const Cell &cell(const QModelIndex &index, const QFont &font) const;
    bool place(Cell &cell) const;

    int columns;
    mutable std::vector<Cell> cells;
    mutable QFont rawFontOf;
    mutable QRawFont rawFont;
};

#endif // LINESTATUSDELEGATE_H
