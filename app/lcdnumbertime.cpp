#include "lcdnumbertime.h"
#include "ui_lcdnumbertime.h"

#include <QTimer>

#include <utility>

LcdNumberTime::LcdNumberTime(QWidget *parent) : LcdNumberTime(&QTime::currentTime, parent) {}

LcdNumberTime::LcdNumberTime(Clock source, QWidget *parent)
    : QWidget(parent), ui(new Ui::LcdNumberTime), timer(new QTimer(this)), clock(std::move(source))
{
    ui->setupUi(this);
    // Shown at once, not only after the first second.
    slot_timeout();
    connect(timer, &QTimer::timeout, this, &LcdNumberTime::slot_timeout);
    timer->start(1000);
}

LcdNumberTime::~LcdNumberTime()
{
    timer->stop();
    delete ui;
}

void LcdNumberTime::slot_timeout()
{
    // The clock is read at every tick rather than counted, so a late tick or a changed
    // system time is put right at the next one.
    ui->lcdNumber->display(clock().toString(QStringLiteral("HH:mm:ss")));
}
