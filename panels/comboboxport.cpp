#include "comboboxport.h"

#include <QAbstractItemView>
#include <QScrollBar>
#include <QStyleOptionComboBox>
#include <QStylePainter>

ComboBoxPort::ComboBoxPort(QWidget *parent) : QComboBox(parent)
{
}

void ComboBoxPort::showPopup()
{
    emit signal_aboutToShowPopup();
    fitPopupWidth();
    QComboBox::showPopup();
}

QString ComboBoxPort::shownText() const
{
    QStyleOptionComboBox option;
    initStyleOption(&option);
    const QRect field =
        style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
    return fontMetrics().elidedText(option.currentText, Qt::ElideLeft, field.width());
}

void ComboBoxPort::paintEvent(QPaintEvent *)
{
    // As QComboBox draws itself, with the text elided.
    QStylePainter painter(this);
    painter.setPen(palette().color(QPalette::Text));
    QStyleOptionComboBox option;
    initStyleOption(&option);
    painter.drawComplexControl(QStyle::CC_ComboBox, option);
    option.currentText = shownText();
    painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

void ComboBoxPort::fitPopupWidth()
{
    QAbstractItemView *list = view();
    const int width = list->sizeHintForColumn(0) + list->verticalScrollBar()->sizeHint().width() +
                      2 * list->frameWidth();
    list->setMinimumWidth(width);
}
