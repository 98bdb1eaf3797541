#include "app/stationlog.h"
#include "testsupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtTest>

class TestStationLog : public QObject
{
    Q_OBJECT

private slots:
    void entriesCarryTimeLevelAndIndentedLines();
    void rotatesIntoAFixedNumberOfFilesOfBoundedSize();
    void followsAFileRotatedByAnotherProcess();
    void fileInPlaceOfTheFolderIsToldOnceAndNothingFails();
    void readOnlyFolderIsToldOnce();
    void installedLogTakesEveryMessage();
};

namespace {

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QDateTime when(QDate(2026, 3, 4), QTime(5, 6, 7, 89));

} // namespace

void TestStationLog::entriesCarryTimeLevelAndIndentedLines()
{
    QCOMPARE(StationLog::format(QtWarningMsg, QStringLiteral("串口断开"), when),
             QStringLiteral("2026-03-04 05:06:07.089 WARN  串口断开\n").toUtf8());
    QCOMPARE(StationLog::format(QtCriticalMsg, QStringLiteral("a\nb"), when),
             QByteArray("2026-03-04 05:06:07.089 ERROR a\n    b\n"));
    QCOMPARE(StationLog::format(QtInfoMsg, QStringLiteral("x"), when).mid(24, 5),
             QByteArray("INFO "));
}

void TestStationLog::rotatesIntoAFixedNumberOfFilesOfBoundedSize()
{
    TempStation station;
    const QString folder = station.filePath("log");
    const qint64 maxBytes = 1000;
    StationLog log(folder, maxBytes, 3);
    const QString text = QString(60, QLatin1Char('x'));
    const int entry = StationLog::format(QtInfoMsg, text, when).size();
    // Enough for more than three files' worth.
    const int entries = int(4 * maxBytes / entry) + 5;
    for (int i = 0; i < entries; ++i)
        QVERIFY(log.append(QtInfoMsg, text.left(60 - 4) + QString::asprintf("%04d", i), when));

    const QStringList files = QDir(folder).entryList(QDir::Files, QDir::Name);
    QCOMPARE(files, QStringList({"hydrovane.log", "hydrovane.log.1", "hydrovane.log.2"}));
    for (const QString &file : files) {
        const qint64 size = QFileInfo(folder + '/' + file).size();
        QVERIFY2(size <= maxBytes && size > 0, qPrintable(file));
    }
    // The newest entry is last in the current file; the numbered ones are older, whole entries.
    const QByteArray current = readAll(log.filePath());
    QVERIFY(current.endsWith(QString::asprintf("%04d\n", entries - 1).toUtf8()));
    const QByteArray older = readAll(log.filePath() + ".1");
    QVERIFY(older.endsWith('\n'));
    QCOMPARE(older.size() % entry, 0);
    const int lastOlder = older.mid(older.size() - 5, 4).toInt();
    const int firstCurrent = current.mid(entry - 5, 4).toInt();
    QCOMPARE(firstCurrent, lastOlder + 1);

    // The real sizes: five files of one megabyte.
    QCOMPARE(StationLog::maxFileBytes, qint64(1 << 20));
    QCOMPARE(StationLog::fileCount, 5);
}

void TestStationLog::followsAFileRotatedByAnotherProcess()
{
    TempStation station;
    StationLog log(station.filePath("log"));
    QVERIFY(log.append(QtInfoMsg, QStringLiteral("first"), when));
    // A command of the same station rotated it meanwhile.
    QVERIFY(QFile::rename(log.filePath(), log.filePath() + ".1"));
    QVERIFY(log.append(QtInfoMsg, QStringLiteral("second"), when));
    QVERIFY(readAll(log.filePath()).contains("second"));
    QVERIFY(!readAll(log.filePath() + ".1").contains("second"));
}

void TestStationLog::fileInPlaceOfTheFolderIsToldOnceAndNothingFails()
{
    TempStation station;
    QVERIFY(station.writeFile("log", "not a folder"));
    StationLog log(station.filePath("log"));
    QVERIFY(!log.open());
    QVERIFY(!log.append(QtWarningMsg, QStringLiteral("lost"), when));
    const QString problem = log.takeProblem();
    QVERIFY2(problem.contains(QStringLiteral("不是文件夹")) &&
                 problem.contains(QStringLiteral("照常运行")),
             qPrintable(problem));
    // Once: later failures, and later tries within the minute, say nothing new.
    QVERIFY(!log.append(QtWarningMsg, QStringLiteral("lost again"), when));
    QVERIFY(log.takeProblem().isEmpty());
    QCOMPARE(station.readFile("log"), QByteArray("not a folder"));

    // The folder put right, an explicit open works at once.
    QVERIFY(QFile::remove(station.filePath("log")));
    QVERIFY(log.open());
    QVERIFY(log.append(QtInfoMsg, QStringLiteral("back"), when));
    QVERIFY(readAll(log.filePath()).contains("back"));
}

void TestStationLog::readOnlyFolderIsToldOnce()
{
    // Root writes into any folder whatever its mode; a read-only file system stops it too.
    SmallFileSystem readOnly(1 << 20, "ro");
    TempStation station;
    QString folder;
    if (readOnly.isMounted()) {
        folder = readOnly.path();
    } else {
        folder = station.filePath("log");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    StationLog log(folder);
    QVERIFY(!log.append(QtWarningMsg, QStringLiteral("lost"), when));
    QVERIFY(!log.takeProblem().isEmpty());
    QVERIFY(!log.append(QtWarningMsg, QStringLiteral("lost"), when));
    QVERIFY(log.takeProblem().isEmpty());
    QVERIFY(!QFileInfo::exists(log.filePath()));
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestStationLog::installedLogTakesEveryMessage()
{
    TempStation station;
    const QString folder = StationLog::folderOf(station.path());
    QVERIFY(StationLog::install(folder, StationLog::ChainPrevious));
    QVERIFY(StationLog::current());
    qWarning("hydrovane: 串口设备断开");
    qInfo("state %d", 2);
    StationLog::uninstall();
    QVERIFY(!StationLog::current());
    qWarning("after");
    const QString text = QString::fromUtf8(readAll(folder + "/hydrovane.log"));
    QVERIFY2(text.contains(QStringLiteral(" WARN  hydrovane: 串口设备断开\n")), qPrintable(text));
    QVERIFY(text.contains(QStringLiteral(" INFO  state 2\n")));
    QVERIFY(!text.contains(QStringLiteral("after")));
}

QTEST_GUILESS_MAIN(TestStationLog)
#include "tst_stationlog.moc"
