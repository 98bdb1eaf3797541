#ifndef ELIDEDLABEL_H
#define ELIDEDLABEL_H

#include <QLabel>

// A one-line label that cuts a text too long for it at the end, so its start stays readable,
// and shows the whole text as its tooltip while it is cut. text() stays the whole text.
class ElidedLabel : public QLabel
{
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    // The text as drawn at the present width.
    QString shownText() const;
    bool isElided() const { return shownText() != text(); }

    // May shrink to the ellipsis; the layout then cuts the text instead of widening.
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    QRect textRect() const;
};

#endif // ELIDEDLABEL_H
