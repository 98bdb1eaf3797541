#include "dialogbec.h"
#include "ui_dialogbec.h"

#include "app/appcontext.h"
#include "history/exportnames.h"
#include "history/recordworkbook.h"
#include "panels/desktopopener.h"
#include "panels/messageboxes.h"
#include "storage/recorddatabase.h"

#include <QDateTime>

DialogBEC::DialogBEC(QWidget *parent, int stageMask)
    : QDialog(parent), ui(new Ui::DialogBEC),
      database(static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb))),
      stageMask(stageMask)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    if (stageMask == ExportStage)
        setWindowTitle(QStringLiteral("导出数据"));
}

DialogBEC::~DialogBEC()
{
    delete ui;
}

void DialogBEC::on_pushButtonStart_clicked()
{
    ui->pushButtonStart->setEnabled(false);
    bool copied = false;
    if (stageMask & BackupStage)
        copied = backupRecords() || copied;
    if (stageMask & ExportStage)
        copied = exportRecords() || copied;
    if (stageMask & ClearStage) {
        // Clearing after every requested copy failed would leave the records nowhere.
        if ((stageMask & (BackupStage | ExportStage)) && !copied)
            showStatus(QStringLiteral("数据未清除:备份和导出均未成功!"));
        else
            clearRecords();
    }
    MessageBoxes::information(QStringLiteral("通知"), QStringLiteral("操作完成!"));
    ui->pushButtonStart->setEnabled(true);
    showStatus(QStringLiteral("无操作"));
    close();
}

bool DialogBEC::backupRecords()
{
    showStatus(QStringLiteral("开始备份数据"));
    const bool saved = database->backupDatabase(RecordDb) >= 0;
    showStatus(saved ? QStringLiteral("备份数据成功!") : QStringLiteral("备份数据失败!"));
    return saved;
}

bool DialogBEC::exportRecords()
{
    showStatus(QStringLiteral("开始导出数据"));
    std::vector<std::string> names;
    bool complete = database->distinctNames(names) == 0;
    const QString folder = AppContext::instance().path(ExportDir);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    const QString path = ExportNames::reserveFile(folder, QStringLiteral("自动导出_") + stamp);

    RecordWorkbook workbook(path);
    for (const std::string &name : names) {
        std::string condition;
        RecordDatabase::appendNameCondition(condition, name, true);
        std::vector<RecordRow *> rows;
        complete = database->query(condition, rows) == 0 && complete;
        if (rows.empty())
            continue;
        const QString title = QString::fromStdString(name);
        ui->progressBar->setRange(0, int(rows.size()) + 1);
        ui->progressBar->setValue(0);
        showStatus(QStringLiteral("开始导出数据:") + title);
        workbook.beginSheet(title);
        workbook.appendRows(rows, [this](int row) { ui->progressBar->setValue(row); });
        RecordDatabase::freeRows(rows);
    }
    workbook.beginInitialSheet(QStringList());
    // A workbook missing rows that could not be read is kept, but not reported as a success.
    if (workbook.save() && complete) {
        showStatus(QStringLiteral("导出数据成功!"));
        DesktopOpener::openLocal(folder);
        return true;
    }
    showStatus(QStringLiteral("导出数据失败!"));
    return false;
}

void DialogBEC::clearRecords()
{
    showStatus(QStringLiteral("开始清除数据"));
    const int cleared = database->clear();
    database->vacuum();
    showStatus(cleared == 0 ? QStringLiteral("清除数据成功!") : QStringLiteral("清除数据失败!"));
}

void DialogBEC::showStatus(const QString &text)
{
    ui->labelProgress->setText(text);
    // The stages run on this thread; paint each status as it comes.
    ui->labelProgress->repaint();
}
