#ifndef STATIONLOG_H
#define STATIONLOG_H

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

#include <mutex>

// The station's log for support: every message of the process (qDebug to qFatal), each with
// its time and level, appended to log/hydrovane.log in the station folder, while standard
// error keeps getting it. The file is rotated before
// it would exceed maxFileBytes: hydrovane.log becomes hydrovane.log.1, .1 becomes .2, and so on
// up to fileCount files, the oldest dropped.
//
// A log that cannot be written (a read-only folder, a file in its place, a full disk) never
// stops the station: messages still reach standard error, the file is tried again now and then,
// and takeProblem() tells the reason once.
class StationLog
{
public:
    static constexpr qint64 maxFileBytes = 1 << 20;
    static constexpr int fileCount = 5;
    static QString fileName() { return QStringLiteral("hydrovane.log"); }
    // The log folder of a station folder.
    static QString folderOf(const QString &stationDir);

    // A log in folder; nothing is opened before the first append.
    explicit StationLog(const QString &folder, qint64 maxBytes = maxFileBytes,
                        int files = fileCount);
    ~StationLog();
    StationLog(const StationLog &) = delete;
    StationLog &operator=(const StationLog &) = delete;

    // Appends one entry, rotating first when the file would grow beyond its size. False when
    // it could not be written.
    bool append(QtMsgType type, const QString &message,
                const QDateTime &time = QDateTime::currentDateTime());
    // Opens the file now (making the folder when missing); false when it cannot be written.
    bool open();
    QString folder() const { return logFolder; }
    QString filePath() const;
    // The reason the log was last found unwritable, the first time it is asked after that
    // happened; empty otherwise.
    QString takeProblem();

    // An entry as it is written: "yyyy-MM-dd hh:mm:ss.zzz LEVEL text\n", the lines of a text
    // of several lines indented under the first.
    static QByteArray format(QtMsgType type, const QString &message, const QDateTime &time);

    enum Echo
    {
        EchoToStderr,  // each message also to standard error, in UTF-8
        ChainPrevious, // each message also to the handler that was there before (a test's)
    };
    // Sends every message of the process to a log in folder as well, from now on; the log
    // is opened at once. False when it cannot be written, which takeProblem() of current()
    // then explains. Calling it again moves the log to the new folder.
    static bool install(const QString &folder, Echo echo = EchoToStderr);
    // Puts the handler found at install back and closes the log.
    static void uninstall();
    // The installed log; null before install.
    static StationLog *current();

private:
    bool openLocked();
    bool rotateLocked();
    void closeLocked();
    void failLocked(const QString &reason);

    const QString logFolder;
    const qint64 maxBytes;
    const int files;
    std::mutex mutex;
    int fd = -1;
    qint64 size = 0;
    // Unwritable: no new try before this time (ms since the epoch).
    qint64 retryAfterMs = 0;
    bool failing = false;
    QString problem;
    bool problemTold = true;
};

#endif // STATIONLOG_H
