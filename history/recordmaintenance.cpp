#include "recordmaintenance.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "history/alarmlookup.h"
#include "history/exportnames.h"
#include "history/recordworkbook.h"
#include "storage/diskguard.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "storage/recordresult.h"

#include <QDateTime>
#include <QFile>

#include <algorithm>
#include <cstdio>

RecordMaintenance::RecordMaintenance(RecordDatabase *database, QObject *parent)
    : QObject(parent), database(database)
{
}

void RecordMaintenance::cancel()
{
    cancelled = true;
    progressShown();
}

void RecordMaintenance::progressShown()
{
    // Only the interface thread releases, so the gate never holds more than one step.
    if (progressGate.available() == 0)
        progressGate.release();
}

void RecordMaintenance::run(int stageMask)
{
    ThreadHandOff::acquire();
    bool copied = false;
    // The clear may take only what every copy made holds.
    int64_t upTo = INT64_MAX;
    int64_t covered = 0;
    // A stage asked for and skipped by a cancel did not happen either: it counts as failed.
    int done = 0;
    if ((stageMask & BackupStage) && !cancelled && backupRecords(covered)) {
        copied = true;
        upTo = std::min(upTo, covered);
        done |= BackupStage;
    }
    if ((stageMask & ExportStage) && !cancelled && exportRecords(covered)) {
        copied = true;
        upTo = std::min(upTo, covered);
        done |= ExportStage;
    }
    if ((stageMask & ClearStage) && !cancelled && clearRecords(stageMask, copied, upTo))
        done |= ClearStage;
    ThreadHandOff::release();
    emit signal_finished(stageMask & (BackupStage | ExportStage | ClearStage) & ~done);
}

bool RecordMaintenance::backupRecords(int64_t &upTo)
{
    status(QStringLiteral("开始备份数据"));
    QString refused;
    if (DiskGuard::checkRoom(AppContext::instance().path(BackupDir), QStringLiteral("备份"),
                             &refused) == DiskGuard::RoomRefused) {
        status(refused);
        ThreadHandOff::release();
        emit signal_refused(refused);
        return false;
    }
    std::string written;
    const bool saved = database->backupDatabase(RecordDb, &upTo, &written) >= 0;
    if (saved) {
        ThreadHandOff::release();
        emit signal_fileWritten(QString::fromStdString(written));
    }
    status(saved ? QStringLiteral("备份数据成功!") : QStringLiteral("备份数据失败!"));
    return saved;
}

bool RecordMaintenance::exportRecords(int64_t &upTo)
{
    status(QStringLiteral("开始导出数据"));
    QString refused;
    if (DiskGuard::checkRoom(AppContext::instance().path(ExportDir), QStringLiteral("导出"),
                             &refused) == DiskGuard::RoomRefused) {
        status(refused);
        ThreadHandOff::release();
        emit signal_refused(refused);
        return false;
    }
    RecordReader reader(database->getPath());
    // Before the names: every row up to this uid has its name among them and reaches its sheet.
    bool complete = reader.highestUid(upTo) == 0;
    std::vector<std::string> names;
    complete = reader.distinctNames(names) == 0 && complete;
    const QString folder = AppContext::instance().path(ExportDir);
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMddhhmmss"));
    const QString path = ExportNames::reserveFile(folder, QStringLiteral("自动导出_") + stamp);

    RecordWorkbook workbook(path);
    // First, so that it keeps its title whatever the instruments are called.
    complete = exportAlarms(workbook) && complete;
    if (cancelled)
        return false;
    for (const std::string &name : names) {
        std::string condition;
        RecordDatabase::appendNameCondition(condition, name, true);
        // One instrument's rows at a time, held compactly and given back in the sheet's order:
        // channel ascending, newest first.
        RecordBatchBuilder builder;
        RecordResult records;
        const int read = reader.read(condition, [&](std::vector<RecordRow> &page) {
            for (const RecordRow &row : page)
                builder.add(row);
            records.append(std::move(*builder.take()));
            return !cancelled;
        });
        if (cancelled)
            return false;
        complete = read == 0 && complete;
        records.finish();
        const int rows = records.rowCount();
        if (rows == 0)
            continue;

        const QString title = QString::fromStdString(name);
        ThreadHandOff::release();
        emit signal_sheetStarted(title, rows);
        workbook.beginSheet(title);
        int count = 0;
        for (int row = 0; row < rows; ++row) {
            const RecordResult::RowView cells = records.row(row);
            if (cancelled ||
                !workbook.appendRecord(cells.time, name.c_str(), cells.kind->modelUtf8.c_str(),
                                       cells.kind->slaveNumber, cells.bucket->channelNumber,
                                       cells.kind->factorUtf8.c_str(), cells.value,
                                       cells.kind->unitUtf8.c_str(),
                                       cells.kind->statusUtf8.c_str()))
                break;
            sheetRowDone(row + 1, rows, count);
        }
        if (cancelled)
            return false;
    }
    workbook.beginInitialSheet(QStringList());
    // A workbook missing rows that could not be read is kept, but not reported as a success,
    // and its name says it is partial.
    const bool saved = workbook.save();
    QString written = path;
    if (saved && !complete) {
        const QString partial = ExportNames::reserveFile(
            folder, QStringLiteral("自动导出_") + stamp + ExportNames::partialMark());
        if (std::rename(QFile::encodeName(path).constData(),
                        QFile::encodeName(partial).constData()) == 0)
            written = partial;
        else
            QFile::remove(partial);
    }
    if (saved) {
        ThreadHandOff::release();
        emit signal_fileWritten(written);
    }
    if (saved && complete) {
        status(QStringLiteral("导出数据成功!"));
        ThreadHandOff::release();
        emit signal_exportSaved(folder);
        return true;
    }
    status(QStringLiteral("导出数据失败!"));
    return false;
}

bool RecordMaintenance::exportAlarms(RecordWorkbook &workbook)
{
    std::vector<AlarmReader::Entry> alarms;
    AlarmReader reader(database->getPath());
    const int read = reader.read(std::string(), std::string(), std::string(), alarms);
    const int rows = int(alarms.size());
    if (rows == 0 || cancelled)
        return read == 0;
    ThreadHandOff::release();
    emit signal_sheetStarted(AlarmLookup::kSheetTitle, rows);
    workbook.beginSheet(AlarmLookup::kSheetTitle, RecordWorkbook::alarmHeaders());
    int count = 0;
    for (int row = 0; row < rows && !cancelled; ++row) {
        if (!workbook.appendAlarm(alarms[size_t(row)]))
            break;
        sheetRowDone(row + 1, rows, count);
    }
    return read == 0;
}

void RecordMaintenance::sheetRowDone(int row, int rows, int &count)
{
    if (++count != rows / 100)
        return;
    count = 0;
    // Waits for the step before to be shown, but never long for a busy window.
    progressGate.tryAcquire(1, 100);
    ThreadHandOff::release();
    emit signal_sheetProgress(row);
}

bool RecordMaintenance::clearRecords(int stageMask, bool copied, int64_t upTo)
{
    const bool copiesAsked = stageMask & (BackupStage | ExportStage);
    // Clearing after every requested copy failed would leave the records nowhere.
    if (copiesAsked && !copied) {
        status(QStringLiteral("数据未清除:备份和导出均未成功!"));
        return false;
    }
    status(QStringLiteral("开始清除数据"));
    const int cleared = copiesAsked ? database->clearUpTo(upTo) : database->clear();
    database->vacuum();
    status(cleared == 0 ? QStringLiteral("清除数据成功!") : QStringLiteral("清除数据失败!"));
    return cleared == 0;
}

void RecordMaintenance::status(const QString &text)
{
    ThreadHandOff::release();
    emit signal_status(text);
}
