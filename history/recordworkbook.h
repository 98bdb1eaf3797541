#ifndef RECORDWORKBOOK_H
#define RECORDWORKBOOK_H

#include "storage/alarmreader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

struct RecordRow;
struct lxw_format;
struct lxw_workbook;
struct lxw_worksheet;

// An .xlsx workbook of records as both exports write it: a sheet has the column headers in
// row 1 and one record per row below, "id" and "通道" as numbers, a "测量结果" that is a plain
// decimal as a number shown with its own decimals, every other cell as text, every cell
// centred. Rows stream to temporary files beside the target, so memory stays flat
// however many rows are written; sheets are filled one after the other, top to bottom. Rows
// beyond a sheet's capacity continue on a further sheet with its own header row.
class RecordWorkbook
{
public:
    // Receives the 1-based number of the data row just written, after every hundredth of the
    // rows of one append; appends of fewer than 100 rows report nothing.
    using Progress = std::function<void(int row)>;

    // The title the library gives a workbook's first sheet; instrument sheets never take it.
    static const QString kInitialTitle;

    // The column headers of a record table, in column order.
    static QStringList headers();
    // The column headers of an alarm table, in column order.
    static QStringList alarmHeaders();
    // What the clear time of an alarm still active shows.
    static const QString kActiveText;

    // Creates the file at once, so that a folder that refuses it fails before any row is
    // written; the workbook then only reports failure.
    explicit RecordWorkbook(const QString &path);
    // A workbook that was not saved leaves no file behind.
    ~RecordWorkbook();
    RecordWorkbook(const RecordWorkbook &) = delete;
    RecordWorkbook &operator=(const RecordWorkbook &) = delete;

    // Starts a sheet titled after name (ExportNames::sheetTitle) with the header row.
    void beginSheet(const QString &name, const QStringList &headers = RecordWorkbook::headers());
    // Starts the sheet titled kInitialTitle; without headers it stays empty.
    void beginInitialSheet(const QStringList &headers);
    // Writes the rows below the current sheet's rows.
    void appendRows(const std::vector<RecordRow *> &rows, const Progress &progress = Progress());
    // One record below the current sheet's rows, for callers that keep records in a form of
    // their own. False once the workbook has failed.
    bool appendRecord(const char *time, const char *name, const char *model, int slave, int channel,
                      const char *factor, const char *value, const char *unit, const char *status);
    // One alarm below the current sheet's rows, in alarmHeaders' columns: the slave and the
    // channel as numbers, the value and the alarm point as the record value is. False once the
    // workbook has failed.
    bool appendAlarm(const AlarmReader::Entry &alarm);
    // Something failed: later rows are not written and save() fails.
    bool hasFailed() const { return failed; }
    // Writes the file and reads it back. False when anything failed, a temporary file included,
    // or the file does not read back whole; the workbook then leaves no file when it goes.
    bool save();

    // Rows per sheet, header included (tests use small sheets); the format allows 1048576.
    void setSheetRowLimit(int rows) { sheetRowLimit = rows; }

private:
    struct SheetFile;

    void startSheet(const QString &title, const QStringList &sheetHeaders);
    // The next data row of the current sheet, starting a continuation sheet when it is full.
    int nextRow();
    void text(int row, int column, const char *utf8);
    void number(int row, int column, double value);
    // The measured value as a number when its text reads back the same, else as text.
    void value(int row, int column, const char *utf8);
    // Takes over the temporary file the library streams the current sheet's rows to.
    void adoptSheetFile();
    // Closes the sheets' temporary files the library left open.
    void closeSheetFiles();
    void check(int error);
    // Counts one written row; every step-th row goes to progress (never when step is 0).
    static void rowDone(const Progress &progress, int step, int &count, int row);

    QString path;
    QByteArray folder;
    lxw_workbook *workbook = nullptr;
    lxw_worksheet *sheet = nullptr;
    lxw_format *centred = nullptr;
    // By number of decimals.
    std::vector<lxw_format *> valueFormats;
    std::vector<std::unique_ptr<SheetFile>> sheetFiles;
    // Rows of each sheet, header included.
    std::vector<int> sheetRows;
    QStringList titles;
    QString sheetName;
    QStringList sheetHeaders;
    int row = 0;
    int sheetRowLimit = 1048576;
    bool failed = false;
    bool saved = false;
};

#endif // RECORDWORKBOOK_H
