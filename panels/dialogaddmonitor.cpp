#include "dialogaddmonitor.h"
#include "ui_dialogaddmonitor.h"

#include <QComboBox>
#include <QLabel>

#include <algorithm>

DialogAddMonitor::DialogAddMonitor(QWidget *parent) : QDialog(parent), ui(new Ui::DialogAddMonitor)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    ui->comboBoxName->addItems({QStringLiteral("DO580"), QStringLiteral("DI590"),
                                QStringLiteral("RO592"), QStringLiteral("RA550")});
    for (int id = 1; id <= 200; ++id)
        ui->comboBoxID->addItem(QString::number(id));
    for (int channel = 0; channel <= 7; ++channel)
        ui->comboBoxName_2->addItem(QString::number(channel));
    if (parent &&
        parent->metaObject()->indexOfSlot("on_addMonitor(QString,QString,int,int,int)") >= 0)
        connect(this, SIGNAL(signal_addMonitor(QString, QString, int, int, int)), parent,
                SLOT(on_addMonitor(QString, QString, int, int, int)));
}

void DialogAddMonitor::setLines(const QStringList &names, int current)
{
    if (names.size() < 2)
        return;
    // Between the first row and the name, where the form has room.
    auto *label = new QLabel(QStringLiteral("线路"), this);
    label->setGeometry(ui->label->x(), 40, ui->label->width(), 21);
    comboBoxLine = new QComboBox(this);
    comboBoxLine->setObjectName(QStringLiteral("comboBoxLine"));
    comboBoxLine->setGeometry(ui->comboBoxName->x(), 40,
                              ui->lineEditUserName->geometry().right() - ui->comboBoxName->x(), 22);
    comboBoxLine->addItems(names);
    comboBoxLine->setCurrentIndex(std::max(0, std::min(current, int(names.size()) - 1)));
}

DialogAddMonitor::~DialogAddMonitor()
{
    delete ui;
}

void DialogAddMonitor::on_buttonBox_accepted()
{
    const QString model = ui->comboBoxName->currentText();
    const int id = ui->comboBoxID->currentText().toInt();
    QString name = ui->lineEditUserName->text();
    if (name.isEmpty())
        name = QStringLiteral("%1#%2").arg(model).arg(id);
    emit signal_addMonitor(model, name, id, -1, comboBoxLine ? comboBoxLine->currentIndex() : 0);
}
