#include "recordworkbook.h"

#include "history/exportnames.h"
#include "storage/recordrow.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

namespace {

const int idColumn = 3;
const int channelColumn = 4;
// Wide enough for "yyyy-MM-dd hh:mm:ss" in the default font.
const double timeColumnWidth = 20;

} // namespace

const QString RecordWorkbook::kInitialTitle = QStringLiteral("Sheet1");

QStringList RecordWorkbook::headers()
{
    return {QStringLiteral("时间"),     QStringLiteral("仪表名称"), QStringLiteral("型号"),
            QStringLiteral("id"),       QStringLiteral("通道"),     QStringLiteral("监测因子"),
            QStringLiteral("测量结果"), QStringLiteral("单位"),     QStringLiteral("状态")};
}

RecordWorkbook::RecordWorkbook(const QString &path)
    : path(path), folder(QFileInfo(path).absolutePath().toUtf8()), titles{kInitialTitle}
{
    // The library only opens the target when it saves, after every row has been written.
    QFile probe(path);
    if (!probe.open(QIODevice::WriteOnly)) {
        failed = true;
        return;
    }
    probe.close();
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    // Beside the target rather than in /tmp, which may be memory.
    options.tmpdir = folder.data();
    workbook = workbook_new_opt(path.toUtf8().constData(), &options);
    if (!workbook) {
        failed = true;
        return;
    }
    centred = workbook_add_format(workbook);
    format_set_align(centred, LXW_ALIGN_CENTER);
    format_set_align(centred, LXW_ALIGN_VERTICAL_CENTER);
}

RecordWorkbook::~RecordWorkbook()
{
    if (saved)
        return;
    if (workbook)
        lxw_workbook_free(workbook);
    QFile::remove(path);
}

void RecordWorkbook::beginSheet(const QString &name, const QStringList &headers)
{
    sheetName = name;
    startSheet(ExportNames::sheetTitle(name, titles), headers);
}

void RecordWorkbook::beginInitialSheet(const QStringList &headers)
{
    sheetName = kInitialTitle;
    startSheet(kInitialTitle, headers);
}

void RecordWorkbook::startSheet(const QString &title, const QStringList &headers)
{
    sheetHeaders = headers;
    row = 0;
    if (failed)
        return;
    sheet = workbook_add_worksheet(workbook, title.toUtf8().constData());
    if (!sheet) {
        failed = true;
        return;
    }
    titles << title;
    check(worksheet_set_column(sheet, 0, 0, timeColumnWidth, nullptr));
    for (int c = 0; c < headers.size(); ++c)
        text(0, c, headers.at(c).toUtf8().constData());
    row = headers.isEmpty() ? 0 : 1;
}

int RecordWorkbook::nextRow()
{
    if (row >= sheetRowLimit)
        startSheet(ExportNames::sheetTitle(sheetName, titles), sheetHeaders);
    return row++;
}

void RecordWorkbook::appendRows(const std::vector<RecordRow *> &rows, const Progress &progress)
{
    const int step = int(rows.size()) / 100;
    int count = 0;
    for (size_t r = 0; r < rows.size(); ++r) {
        const RecordRow &record = *rows[r];
        if (!appendRecord(record.time.c_str(), record.name.c_str(), record.model.c_str(),
                          record.slave, record.channel, record.factor.c_str(),
                          record.value.c_str(), record.unit.c_str(), record.status.c_str()))
            return;
        rowDone(progress, step, count, int(r) + 1);
    }
}

bool RecordWorkbook::appendRecord(const char *time, const char *name, const char *model, int slave,
                                  int channel, const char *factor, const char *value,
                                  const char *unit, const char *status)
{
    if (failed)
        return false;
    const int at = nextRow();
    text(at, 0, time);
    text(at, 1, name);
    text(at, 2, model);
    number(at, idColumn, slave);
    number(at, channelColumn, channel);
    text(at, 5, factor);
    text(at, 6, value);
    text(at, 7, unit);
    text(at, 8, status);
    return !failed;
}

void RecordWorkbook::rowDone(const Progress &progress, int step, int &count, int row)
{
    if (++count != step)
        return;
    count = 0;
    if (progress)
        progress(row);
}

bool RecordWorkbook::save()
{
    if (failed || !workbook)
        return false;
    const lxw_error error = workbook_close(workbook);
    workbook = nullptr;
    saved = error == LXW_NO_ERROR;
    return saved;
}

void RecordWorkbook::text(int at, int column, const char *utf8)
{
    if (failed)
        return;
    check(worksheet_write_string(sheet, lxw_row_t(at), lxw_col_t(column), utf8, centred));
}

void RecordWorkbook::number(int at, int column, double value)
{
    if (failed)
        return;
    check(worksheet_write_number(sheet, lxw_row_t(at), lxw_col_t(column), value, centred));
}

void RecordWorkbook::check(int error)
{
    if (error != LXW_NO_ERROR)
        failed = true;
}
