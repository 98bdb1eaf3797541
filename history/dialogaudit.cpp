#include "dialogaudit.h"
#include "ui_dialogaudit.h"

#include "history/auditmodel.h"
#include "storage/accounts.h"

#include <QHeaderView>

DialogAudit::DialogAudit(QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogAudit), model(new AuditModel(this))
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    QTableView *table = ui->tableViewAudit;
    table->setModel(model);
    table->horizontalHeader()->setStyleSheet(
        QStringLiteral("QHeaderView::section{background:lightblue;}"));
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    table->horizontalHeader()->setStretchLastSection(true);
}

DialogAudit::~DialogAudit()
{
    delete ui;
}

void DialogAudit::on_pushButtonSearch_clicked()
{
    if (searching)
        return;
    searching = true;
    ui->pushButtonSearch->setEnabled(false);
    ui->labelResult->setText(QStringLiteral("查询中,请稍后..."));
    Accounts::instance().listAudit(
        ui->dateTimeEditStart->dateTime(), ui->dateTimeEditEnd->dateTime(), 0, this,
        [this](int result, const QVector<Accounts::AuditEntry> &rows) {
            searching = false;
            ui->pushButtonSearch->setEnabled(true);
            model->setEntries(rows);
            ui->labelResult->setText(
                result == Accounts::Ok
                    ? QStringLiteral("查询完毕,共%1条操作记录").arg(rows.size())
                    : QStringLiteral("查询失败:") + Accounts::Reply{result, 0}.text());
            emit signal_searchFinished(rows.size());
        });
}
