#ifndef COMBOBOXPORT_H
#define COMBOBOXPORT_H

#include <QComboBox>

// The port box of the serial settings. It asks for a fresh port list each time it opens, so
// that an adapter plugged in after start can be picked; its list is as wide as the longest
// entry. A device path too long for the closed box is shown by its end with an ellipsis in
// front: paths share their start ("/dev/tty", "/dev/serial/by-id/") and differ at the end
// ("ttyUSB0", "ttyACM1"), so the end is what tells two adapters apart.
class ComboBoxPort : public QComboBox
{
    Q_OBJECT

public:
    explicit ComboBoxPort(QWidget *parent = nullptr);

    void showPopup() override;
    // The current text as the closed box draws it.
    QString shownText() const;

signals:
    // The list is about to open: refill it now.
    void signal_aboutToShowPopup();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void fitPopupWidth();
};

#endif // COMBOBOXPORT_H
