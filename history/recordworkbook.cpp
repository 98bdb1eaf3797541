#include "recordworkbook.h"

#include "history/exportnames.h"
#include "history/workbookcheck.h"
#include "storage/recordrow.h"

#include <QFile>
#include <QFileInfo>

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace {

const int idColumn = 3;
const int channelColumn = 4;
const int valueColumn = 6;
// A double gives back any decimal of this many significant digits, and a spreadsheet shows
// no more: a value text within it reads back unchanged.
const int valueDigitLimit = 15;
// Wide enough for "yyyy-MM-dd hh:mm:ss" in the default font.
const double timeColumnWidth = 20;

// The decimals of a plain decimal text ("-12.50", not "+5", "08", ".5", "1e3" or "-0.0") and
// its value; -1 for any other text.
int plainDecimal(const char *text, double &number)
{
    const char *at = text;
    const bool negative = *at == '-';
    if (negative)
        ++at;
    long long digits = 0;
    int count = 0;
    int decimals = -1;
    for (; *at; ++at) {
        if (*at == '.' && decimals < 0 && count > 0) {
            decimals = 0;
            continue;
        }
        if (*at < '0' || *at > '9' || ++count > valueDigitLimit)
            return -1;
        // No leading zero: a zero integer part is the single digit 0.
        if (count == 2 && digits == 0 && decimals < 0)
            return -1;
        digits = digits * 10 + (*at - '0');
        if (decimals >= 0)
            ++decimals;
    }
    // A negative zero would show without its sign.
    if (count == 0 || decimals == 0 || (negative && digits == 0))
        return -1;
    decimals = std::max(decimals, 0);
    double scale = 1;
    for (int d = 0; d < decimals; ++d)
        scale *= 10;
    // Both exact, so the quotient is the double nearest to the text.
    number = double(negative ? -digits : digits) / scale;
    return decimals;
}

} // namespace

// A sheet's temporary row file, held by the library as a stream of ours: the library ignores
// write errors on it and leaves it open in some paths, so its writes and its closing are
// tracked here.
struct RecordWorkbook::SheetFile
{
    int fd = -1;
    FILE *stream = nullptr;
    bool closed = false;
    bool failed = false;

    static ssize_t read(void *cookie, char *buffer, size_t size)
    {
        auto *file = static_cast<SheetFile *>(cookie);
        ssize_t got;
        do
            got = ::read(file->fd, buffer, size);
        while (got < 0 && errno == EINTR);
        if (got < 0)
            file->failed = true;
        return got;
    }

    static ssize_t write(void *cookie, const char *buffer, size_t size)
    {
        auto *file = static_cast<SheetFile *>(cookie);
        size_t done = 0;
        while (done < size) {
            const ssize_t put = ::write(file->fd, buffer + done, size - done);
            if (put < 0 && errno == EINTR)
                continue;
            if (put <= 0) {
                file->failed = true;
                return done > 0 ? ssize_t(done) : -1;
            }
            done += size_t(put);
        }
        return ssize_t(done);
    }

    static int seek(void *cookie, off64_t *position, int whence)
    {
        auto *file = static_cast<SheetFile *>(cookie);
        const off64_t at = lseek64(file->fd, *position, whence);
        if (at < 0)
            return -1;
        *position = at;
        return 0;
    }

    static int close(void *cookie)
    {
        auto *file = static_cast<SheetFile *>(cookie);
        file->closed = true;
        return ::close(file->fd);
    }
};

const QString RecordWorkbook::kInitialTitle = QStringLiteral("Sheet1");
const QString RecordWorkbook::kActiveText = QStringLiteral("未解除");

QStringList RecordWorkbook::headers()
{
    return {QStringLiteral("时间"),     QStringLiteral("仪表名称"), QStringLiteral("型号"),
            QStringLiteral("id"),       QStringLiteral("通道"),     QStringLiteral("监测因子"),
            QStringLiteral("测量结果"), QStringLiteral("单位"),     QStringLiteral("状态")};
}

QStringList RecordWorkbook::alarmHeaders()
{
    return {QStringLiteral("报警时间"), QStringLiteral("仪表名称"), QStringLiteral("从站地址"),
            QStringLiteral("通道"),     QStringLiteral("因子"),     QStringLiteral("类型"),
            QStringLiteral("数值"),     QStringLiteral("报警点"),   QStringLiteral("解除时间"),
            QStringLiteral("确认时间")};
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
    if (workbook)
        lxw_workbook_free(workbook);
    closeSheetFiles();
    if (!saved)
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
    sheetRows.push_back(0);
    adoptSheetFile();
    check(worksheet_set_column(sheet, 0, 0, timeColumnWidth, nullptr));
    for (int c = 0; c < headers.size(); ++c)
        text(0, c, headers.at(c).toUtf8().constData());
    row = headers.isEmpty() ? 0 : 1;
    sheetRows.back() = row;
}

void RecordWorkbook::adoptSheetFile()
{
    if (failed || !sheet->optimize_tmpfile || sheet->file != sheet->optimize_tmpfile) {
        failed = true;
        return;
    }
    auto file = std::make_unique<SheetFile>();
    // Nothing is written to it before the first row.
    file->fd = dup(fileno(sheet->optimize_tmpfile));
    if (file->fd < 0) {
        failed = true;
        return;
    }
    const cookie_io_functions_t functions{SheetFile::read, SheetFile::write, SheetFile::seek,
                                          SheetFile::close};
    file->stream = fopencookie(file.get(), "w+", functions);
    if (!file->stream) {
        ::close(file->fd);
        failed = true;
        return;
    }
    fclose(sheet->optimize_tmpfile);
    sheet->optimize_tmpfile = file->stream;
    sheet->file = file->stream;
    sheetFiles.push_back(std::move(file));
}

void RecordWorkbook::closeSheetFiles()
{
    for (const auto &file : sheetFiles)
        if (!file->closed)
            fclose(file->stream);
    sheetFiles.clear();
}

int RecordWorkbook::nextRow()
{
    if (row >= sheetRowLimit)
        startSheet(ExportNames::sheetTitle(sheetName, titles), sheetHeaders);
    if (!sheetRows.empty())
        sheetRows.back() = row + 1;
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
    // A sheet file that refused rows stops the export at once rather than at the save.
    if (!failed && !sheetFiles.empty() && sheetFiles.back()->failed)
        failed = true;
    if (failed)
        return false;
    const int at = nextRow();
    text(at, 0, time);
    text(at, 1, name);
    text(at, 2, model);
    number(at, idColumn, slave);
    number(at, channelColumn, channel);
    text(at, 5, factor);
    this->value(at, valueColumn, value);
    text(at, 7, unit);
    text(at, 8, status);
    return !failed;
}

bool RecordWorkbook::appendAlarm(const AlarmReader::Entry &alarm)
{
    if (!failed && !sheetFiles.empty() && sheetFiles.back()->failed)
        failed = true;
    if (failed)
        return false;
    static const QByteArray active = kActiveText.toUtf8();
    const int at = nextRow();
    text(at, 0, alarm.raised.c_str());
    text(at, 1, alarm.name.c_str());
    number(at, 2, alarm.slave);
    number(at, 3, alarm.channel);
    text(at, 4, alarm.factor.c_str());
    text(at, 5, alarm.kind.c_str());
    value(at, 6, alarm.value.c_str());
    value(at, 7, alarm.alarmPoint.c_str());
    text(at, 8, alarm.isActive() ? active.constData() : alarm.cleared.c_str());
    text(at, 9, alarm.acked.c_str());
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
    bool rowsKept = true;
    for (const auto &file : sheetFiles)
        rowsKept = rowsKept && !file->failed;
    closeSheetFiles();
    // The library also ignores failed writes of the parts it zips: only a file that reads back
    // whole is saved.
    saved = error == LXW_NO_ERROR && rowsKept && WorkbookCheck::isComplete(path, sheetRows);
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

void RecordWorkbook::value(int at, int column, const char *utf8)
{
    double number = 0;
    const int decimals = plainDecimal(utf8, number);
    if (decimals < 0 || failed) {
        text(at, column, utf8);
        return;
    }
    if (size_t(decimals) >= valueFormats.size())
        valueFormats.resize(size_t(decimals) + 1, nullptr);
    lxw_format *&format = valueFormats[size_t(decimals)];
    if (!format) {
        format = workbook_add_format(workbook);
        format_set_align(format, LXW_ALIGN_CENTER);
        format_set_align(format, LXW_ALIGN_VERTICAL_CENTER);
        const QByteArray pattern =
            decimals == 0 ? QByteArray("0") : "0." + QByteArray(decimals, '0');
        format_set_num_format(format, pattern.constData());
    }
    check(worksheet_write_number(sheet, lxw_row_t(at), lxw_col_t(column), number, format));
}

void RecordWorkbook::check(int error)
{
    if (error != LXW_NO_ERROR)
        failed = true;
}
