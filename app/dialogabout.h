#ifndef DIALOGABOUT_H
#define DIALOGABOUT_H

#include <QDialog>

namespace Ui {
class DialogAbout;
}

// The modal about box: logo, product name and version.
class DialogAbout : public QDialog
{
    Q_OBJECT

public:
    explicit DialogAbout(QWidget *parent = nullptr);
    ~DialogAbout() override;

private slots:
    void on_pushButtonClose_clicked();

private:
    Ui::DialogAbout *ui;
};

#endif // DIALOGABOUT_H
