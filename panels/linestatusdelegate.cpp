#include "linestatusdelegate.h"

#include <QPainter>

#include <cmath>

namespace {

const int margin = 5; // between a text and its column's edges

} // namespace

LineStatusDelegate::LineStatusDelegate(int columns, QObject *parent)
    : QStyledItemDelegate(parent), columns(columns)
{
}

bool LineStatusDelegate::place(Cell &cell) const
{
    if (cell.font != rawFontOf || !rawFont.isValid()) {
        rawFontOf = cell.font;
        rawFont = QRawFont::fromFont(cell.font);
    }
    if (!rawFont.isValid())
        return false;
    for (const QChar c : cell.text)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e || !rawFont.supportsCharacter(c))
            return false;
    // Printable ASCII needs no shaping: one glyph per character, each at its advance.
    QVector<quint32> indexes = rawFont.glyphIndexesForString(cell.text);
    const QVector<QPointF> advances = rawFont.advancesForGlyphIndexes(indexes);
    QVector<QPointF> positions(indexes.size());
    qreal x = 0;
    for (int i = 0; i < indexes.size(); ++i) {
        positions[i] = QPointF(x, rawFont.ascent());
        x += advances[i].x();
    }
    cell.glyphs = QGlyphRun();
    cell.glyphs.setRawFont(rawFont);
    cell.glyphs.setGlyphIndexes(indexes);
    cell.glyphs.setPositions(positions);
    cell.width = x;
    cell.height = rawFont.ascent() + rawFont.descent();
    return true;
}

const LineStatusDelegate::Cell &LineStatusDelegate::cell(const QModelIndex &index,
                                                         const QFont &font) const
{
    const size_t at = size_t(index.row()) * size_t(columns) + size_t(index.column());
    if (at >= cells.size())
        cells.resize(at + 1);
    Cell &cell = cells[at];
    const QString text = index.data(Qt::DisplayRole).toString();
    if (text == cell.text && font == cell.font && (cell.placed || !cell.laidOut.text().isEmpty() ||
                                                   text.isEmpty()))
        return cell;
    cell.text = text;
    cell.font = font;
    cell.placed = place(cell);
    if (cell.placed) {
        cell.laidOut = QStaticText();
    } else {
        cell.glyphs = QGlyphRun();
        cell.laidOut = QStaticText(text);
        cell.laidOut.setTextFormat(Qt::PlainText);
        cell.laidOut.prepare(QTransform(), font);
        cell.width = cell.laidOut.size().width();
        cell.height = cell.laidOut.size().height();
    }
    return cell;
}

QSize LineStatusDelegate::sizeHint(const QStyleOptionViewItem &option,
                                   const QModelIndex &index) const
{
    // The width this delegate paints with, so that sizing a column to its contents clips nothing.
    const QSize styled = QStyledItemDelegate::sizeHint(option, index);
    return QSize(int(std::ceil(cell(index, option.font).width)) + 2 * margin, styled.height());
}

void LineStatusDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                               const QModelIndex &index) const
{
    const Cell &text = cell(index, option.font);
    const bool selected = option.state & QStyle::State_Selected;
    if (selected)
        painter->fillRect(option.rect, option.palette.brush(QPalette::Highlight));
    const QVariant foreground = index.data(Qt::ForegroundRole);
    if (!selected && foreground.canConvert<QBrush>())
        painter->setPen(foreground.value<QBrush>().color());
    else
        painter->setPen(option.palette.color(selected ? QPalette::HighlightedText : QPalette::Text));

    const QRect inner = option.rect.adjusted(margin, 0, -margin, 0);
    const int alignment = index.data(Qt::TextAlignmentRole).toInt();
    // A text wider than its column shows its beginning, clipped to the column.
    const bool clip = text.width > inner.width();
    const qreal x = (alignment & Qt::AlignRight) && !clip ? inner.right() + 1 - text.width
                                                          : inner.left();
    const QPointF at(x, option.rect.top() + (option.rect.height() - text.height) / 2);
    if (clip) {
        painter->save();
        painter->setClipRect(inner, Qt::IntersectClip);
    }
    if (text.placed)
        painter->drawGlyphRun(at, text.glyphs);
    else
        painter->drawStaticText(at, text.laidOut);
    if (clip)
        painter->restore();
}
