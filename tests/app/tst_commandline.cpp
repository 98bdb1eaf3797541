#include "app/commandline.h"
#include "testsupport.h"

#include <QDir>
#include <QProcess>
#include <QtTest>

// The command line as a user meets it: the built station, run without a display in a folder
// of its own (its default station folder), which --help and the refusals must leave alone.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void helpAndVersionAnswerWithoutADisplayOrAFolder();
    void unknownOptionsAreRefusedByName();
    void stationAndQtOptionsPass();
};

namespace {

struct Run
{
    int code = -1;
    QString out;
    QString errors;
};

Run runStation(const TempStation &station, const QStringList &arguments)
{
    const QString program = station.filePath("hydrovane");
    if (!QFile::exists(program) && !QFile::copy(QStringLiteral(HYDROVANE_PATH), program))
        return Run();
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "HYDROVANE_STATION",
                             "LANG", "LC_ALL", "LANGUAGE"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted())
        return Run();
    process.closeWriteChannel();
    Run run;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run.code = process.exitCode();
    run.out = QString::fromUtf8(process.readAllStandardOutput());
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

// Only the program itself: nothing was made beside it.
QStringList folderContents(const TempStation &station)
{
    return QDir(station.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
}

} // namespace

void TestCommandLine::helpAndVersionAnswerWithoutADisplayOrAFolder()
{
    TempStation station;
    for (const char *help : {"--help", "-h"}) {
        const Run run = runStation(station, {QString::fromLatin1(help)});
        QCOMPARE(run.code, 0);
        QVERIFY2(run.out.startsWith(QStringLiteral("用法: hydrovane")), qPrintable(run.out));
        for (const char *option :
             {"--station", "--connect", "--passwd", "--count-records", "--version"})
            QVERIFY(run.out.contains(QLatin1String(option)));
        QVERIFY(run.errors.isEmpty());
    }
    // Answered before the rest is read: an unknown option after it does not matter.
    QCOMPARE(runStation(station, {"--help", "--nonsense"}).code, 0);

    const Run version = runStation(station, {"--version"});
    QCOMPARE(version.code, 0);
    const QStringList lines = version.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.value(0), CommandLine::versionText());
    QVERIFY(lines.value(0).contains(QRegularExpression(QStringLiteral("^hydrovane \\d+\\.\\d+"))));
    // With the translations and a CJK font installed (the build machine has both), Qt's own
    // buttons are Chinese and a font for the window's texts is named.
    QVERIFY2(lines.value(1).contains(QStringLiteral("对话框按钮: 确定 取消")),
             qPrintable(version.out));
    QVERIFY2(lines.value(2).startsWith(QStringLiteral("中文字体: ")) &&
                 !lines.value(2).contains(QStringLiteral("无")),
             qPrintable(version.out));
    QCOMPARE(folderContents(station), QStringList({"hydrovane"}));
}

void TestCommandLine::unknownOptionsAreRefusedByName()
{
    TempStation station;
    const QStringList wrong[] = {
        {"--conect"}, {"--station", station.path(), "--verbose"}, {"--connect=yes"}, {"stray"}};
    for (const QStringList &arguments : wrong) {
        const Run run = runStation(station, arguments);
        QCOMPARE(run.code, 2);
        QVERIFY2(run.errors.contains(arguments.last()) &&
                     run.errors.contains(QStringLiteral("hydrovane --help")),
                 qPrintable(run.errors));
        QVERIFY(run.out.isEmpty());
    }
    QCOMPARE(folderContents(station), QStringList({"hydrovane"}));
}

void TestCommandLine::stationAndQtOptionsPass()
{
    const auto action = [](const QStringList &arguments) {
        return CommandLine(QStringList({"hydrovane"}) + arguments).action();
    };
    QCOMPARE(action({}), CommandLine::Run);
    QCOMPARE(action({"--station", "/a", "--connect"}), CommandLine::Run);
    QCOMPARE(action({"--station=/a", "--count-records"}), CommandLine::Run);
    // A value is never read as an option, even one that looks like it.
    QCOMPARE(action({"--passwd", "--help"}), CommandLine::Run);
    QCOMPARE(action({"--passwd", "王五", "--admin"}), CommandLine::Run);
    QCOMPARE(action({"--station", "/a", "--passwd", "--admin", "王五"}), CommandLine::Run);
    QCOMPARE(action({"--station", "--version"}), CommandLine::Run);
    // Qt's own, which the application takes out: a desktop's session restore among them.
    QCOMPARE(action({"-platform", "offscreen", "--session", "x", "-reverse"}), CommandLine::Run);
    QCOMPARE(action({"-style=fusion"}), CommandLine::Run);

    const CommandLine wrong(QStringList({"hydrovane", "--connect", "-platformx"}));
    QCOMPARE(wrong.action(), CommandLine::Invalid);
    QVERIFY(wrong.error().contains(QStringLiteral("-platformx")));
    QCOMPARE(CommandLine(QStringList({"hydrovane", "-h"})).action(), CommandLine::Help);
    QCOMPARE(CommandLine(QStringList({"hydrovane", "--version"})).action(), CommandLine::Version);
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
