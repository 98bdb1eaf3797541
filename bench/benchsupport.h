#ifndef BENCHSUPPORT_H
#define BENCHSUPPORT_H

#include <QString>
#include <QStringList>

#include <ctime>
#include <string>

struct sqlite3;
class QProcess;

// What the benchmark programs share: raw connections to record files and large record files
// made fast, without the station's classes.

const int kReadIntervalSeconds = 30;
const time_t kFirstReading = 1704067200; // 2024-01-01 00:00:00 UTC
extern const char *const kCreateRecordTable;

// A connection keyed and set up as the station keys its files; exits when the file won't open.
sqlite3 *openRaw(const QString &path);
// Exits with the error when the statement fails.
void mustRun(sqlite3 *db, const char *sql);
// "yyyy-MM-dd hh:mm:ss" of seconds since the epoch, in UTC.
std::string timeText(time_t seconds);
// "仪表001" for 0, "仪表002" for 1, ...
std::string instrumentName(int i);
// Makes a record file of rows rows in one transaction: every read interval from kFirstReading,
// each of the instruments stores channel 0 (DO) and channel 1 (Temper) with values that change
// from reading to reading. Returns the rows written.
long generateRecordFile(const QString &path, long rows, int instruments);

// Starts hydrovane-sim with these arguments; true once it answers on its link.
bool startSimulator(QProcess &simulator, const QStringList &arguments);

#endif // BENCHSUPPORT_H
