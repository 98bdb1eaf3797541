#ifndef TESTSUPPORT_H
#define TESTSUPPORT_H

#include "instruments/monitorbase.h"
#include "panels/messageboxes.h"
#include "storage/alarmreader.h"

#include <QList>
#include <QMetaType>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <vector>

#include <modbus.h>

class ComPortCtrl;
struct RecordRow;
class QLCDNumber;

// Signal spies on the panels' monitor signals; registered at start.
Q_DECLARE_METATYPE(MonitorBase *)

// A temporary application directory that the registry points at for the fixture's life.
class TempStation
{
public:
    TempStation();
    ~TempStation();

    bool isValid() const { return dir.isValid(); }
    QString path() const { return dir.path(); }
    QString filePath(const QString &relative) const { return dir.filePath(relative); }
    // Writes a file below the directory, creating its folder.
    bool writeFile(const QString &relative, const QByteArray &content) const;
    QByteArray readFile(const QString &relative) const;

private:
    QTemporaryDir dir;
};

// A tmpfs of a given size on a temporary folder, for what a small or read-only file system
// does; only root may mount one, so tests skip without it.
class SmallFileSystem
{
public:
    // options: mount options after the size, such as "ro".
    explicit SmallFileSystem(qint64 bytes, const QByteArray &options = QByteArray());
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;

    bool isMounted() const { return mounted; }
    QString path() const { return dir.path(); }
    QString filePath(const QString &relative) const { return dir.filePath(relative); }

private:
    QTemporaryDir dir;
    bool mounted = false;
};

// Answers message boxes instead of showing them and remembers every box asked.
class MessageBoxRecorder
{
public:
    MessageBoxRecorder();
    ~MessageBoxRecorder();

    // Answers used in order; when they run out, boxes get their default button (or OK).
    void queueAnswer(QMessageBox::StandardButton answer) { answers.append(answer); }
    QList<MessageBoxes::Box> boxes;
    // Called as each box is asked, before it is answered: a look at the screen behind it.
    std::function<void(const MessageBoxes::Box &)> whenAsked;

private:
    QList<QMessageBox::StandardButton> answers;
};

// Records the paths the station asks the desktop to open instead of starting a program.
class DesktopRecorder
{
public:
    DesktopRecorder();
    ~DesktopRecorder();
    QStringList opened;
};

// One sheet of a workbook as an independent reader sees it.
struct WorkbookSheet
{
    QString title;
    // Each cell as its type letter, a colon and its value: "s:DO", "n:3"; a number whose format
    // fixes its decimals as shown with them: "n:8.250".
    QList<QStringList> rows;
    // Every cell is centred horizontally and vertically.
    bool centred = false;
};

// Reads an .xlsx file with Debian's openpyxl in a process of its own; the sheets in workbook
// order, none when the file cannot be read.
QList<WorkbookSheet> readWorkbook(const QString &path);
// The header row of a record sheet as readWorkbook gives it.
QStringList recordHeaderCells();
// A record row's nine texts as readWorkbook gives them: "id", "通道" and a plain decimal
// "测量结果" numbers, the rest text.
QStringList recordCells(const QStringList &texts);
// The files this process holds open, by what /proc/self/fd links them to, sorted.
QStringList openFiles();
// A DI590 reading with slave 3: channel 0 is DO 8.25 mg/L, any other Temper 21.4 ℃; status N.
RecordRow makeRecord(const std::string &name, int channel, const std::string &time);

// A running hydrovane-sim with its line linked inside a temporary directory, or serving as a
// Modbus TCP gateway on a free port of 127.0.0.1. `instruments` holds one
// ID:MODEL[:KEY=VALUE,...] each, `options` extra command-line options (for example
// "--wire-time" or "--tcp-fault silent"). The simulator is stopped with SIGTERM when the
// fixture goes.
class SimulatorProcess
{
public:
    enum Kind
    {
        Serial,
        Gateway
    };

    explicit SimulatorProcess(const QStringList &instruments,
                              const QStringList &options = QStringList(), Kind kind = Serial);
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess &) = delete;
    SimulatorProcess &operator=(const SimulatorProcess &) = delete;

    // The simulator answered `ready` on its link.
    bool isReady() const { return ready; }
    QString linkPath() const { return dir.filePath("line"); }
    // A gateway's port, kept across restarts; 0 for a serial simulator.
    int tcpPort() const { return port; }
    // Points the link object at the simulator's line, or at its gateway, and opens it; 0 on
    // success. A gateway line is not connected yet.
    int open(ComPortCtrl &ctrl) const;
    // The context of a line of the fixture's own, opened (and connected) on the simulator with
    // the default settings at the first call; null when it cannot be opened.
    modbus_t *context();
    // Kills the simulator without warning, as a pulled cable would.
    void kill();
    // Starts it again on the same link or port with the same instruments; true once it is
    // ready.
    bool start();

private:
    QTemporaryDir dir;
    Kind kind;
    int port = 0;
    QStringList arguments;
    QProcess process;
    bool ready = false;
    std::unique_ptr<ComPortCtrl> line;
};
// Runs statements on a database file through Debian's sqlite3 program, an independent reader
// without the key. Returns its exit code; output gets standard output and error.
int runPlainSqlite(const QString &file, const QString &sql, QString *output = nullptr);

// Opens a database file with the pass phrase through a connection of its own and returns each
// result row as its column texts joined by '|' (NULL as "<null>"). The result code goes to
// *result when given.
QStringList selectWithKey(const QString &file, const char *sql, int *result = nullptr);

// Inserts rows into a record file in one transaction through a connection of its own, much
// faster than one insert each. Returns the library's result.
int insertRecords(const QString &file, const std::vector<RecordRow> &rows);
// Adds alarms to a record file's log in one transaction through a connection of its own,
// making the table where the file has none. An active alarm is stored without a clear time, an
// empty acked as none. Returns the library's result.
int insertAlarms(const QString &file, const std::vector<AlarmReader::Entry> &alarms);
// An alarm of DI590 slave 3 channel 0 on DO: value 8.25 over alarm point 8.0, cleared at
// 23:50 of its day unless active, acknowledged at 23:40 when acked.
AlarmReader::Entry makeAlarm(const std::string &name, const std::string &raised, bool active,
                             bool acked = false);

// One entry of Monitor.json.
struct MonitorEntry
{
    QString model;
    QString name;
    int id;
    bool running = true;
    bool record = true;
    // The line's name; empty: line 1, without the key.
    QString line = QString();
};
// The text of a Monitor.json with these entries.
QByteArray monitorJson(int interval, const QList<MonitorEntry> &entries);
// The text of a ComPort.json for the line of a simulator, 8N2 at `baudrate`, with the
// response timeout in seconds when it is above 0.
QByteArray comPortJson(const QString &port, int baudrate = 9600, double timeout = 0);

// Whether the number, on screen, shows `text`: it is drawn exactly as a number of the same
// settings showing that text.
bool lcdShows(QLCDNumber *lcd, const QString &text);

// Runs `steps` with today's date as yyyyMMdd, and again when midnight passed while they ran,
// so that a test of dated file names holds at any time of day. Steps that failed are not
// repeated.
void onOneDay(const std::function<void(const QString &date)> &steps);
// The one record*.zdb file in a backup folder; empty when there is none or more than one.
QString onlyBackup(const QString &folder);

// Signs in through the station's accounts and returns once the answer came: "admin" by default,
// given `password` as its first one when it has none yet. True when signed in.
bool signInAs(const QString &name = QStringLiteral("admin"),
              const QString &password = QStringLiteral("admin-pw"));
// Adds an account as the signed-in administrator; the accounts' result.
int addAccount(const QString &name, const QString &password, int role);
// The trail of the station's user database, oldest first, as "user|action|detail".
QStringList auditRows();

// from, from + 1, ..., to - 1.
std::vector<int> range(int from, int to);

#endif // TESTSUPPORT_H
