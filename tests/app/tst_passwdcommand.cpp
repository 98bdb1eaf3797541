#include "storage/passwordhash.h"
#include "testsupport.h"

#include <QtTest>

#include <sys/stat.h>

// hydrovane --passwd NAME, run as an administrator would: the built station in a folder of its
// own, the new password on standard input.
class TestPasswdCommand : public QObject
{
    Q_OBJECT

private slots:
    void setsThePasswordOnAFreshStation();
    void emptyOrClosedInputChangesNothing();
    void stationFolderItCreatesIsClosedToOthers();
};

namespace {

struct Run
{
    int code = -1;
    QString errors;
};

// Copies the station into the folder (the station folder is the executable's) and runs it.
Run runPasswd(const TempStation &station, const QStringList &arguments, const QByteArray *input)
{
    const QString program = station.filePath("hydrovane");
    if (!QFile::exists(program) && !QFile::copy(QStringLiteral(HYDROVANE_PATH), program))
        return Run();
    QProcess process;
    process.start(program, QStringList({"--passwd"}) + arguments);
    if (!process.waitForStarted())
        return Run();
    if (input)
        process.write(*input);
    process.closeWriteChannel();
    Run run;
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit)
        run.code = process.exitCode();
    run.errors = QString::fromUtf8(process.readAllStandardError());
    return run;
}

QStringList users(const TempStation &station)
{
    return selectWithKey(station.filePath("user/user.zdb"),
                         "SELECT name, password, role FROM User ORDER BY uid");
}

} // namespace

void TestPasswdCommand::setsThePasswordOnAFreshStation()
{
    TempStation station;
    const QByteArray line = QStringLiteral("新'密 码\r\n").toUtf8();
    Run run = runPasswd(station, {"admin"}, &line);
    QCOMPARE(run.code, 0);
    // The default account is made with the file, then given the password.
    QStringList rows = users(station);
    QCOMPARE(rows.size(), 1);
    QStringList admin = rows[0].split('|');
    QCOMPARE(admin[0], QStringLiteral("admin"));
    QCOMPARE(admin[2], QStringLiteral("admin"));
    QVERIFY(PasswordHash::verify(QStringLiteral("新'密 码").toStdString(),
                                 admin[1].toStdString()));

    const QByteArray other = "other\n";
    run = runPasswd(station, {QStringLiteral("王五")}, &other);
    QCOMPARE(run.code, 0);
    rows = users(station);
    QCOMPARE(rows.size(), 2);
    QStringList created = rows[1].split('|');
    QCOMPARE(created[0], QStringLiteral("王五"));
    QCOMPARE(created[2], QStringLiteral("admin"));
    QVERIFY(PasswordHash::verify("other", created[1].toStdString()));

    QCOMPARE(selectWithKey(station.filePath("user/user.zdb"),
                           "SELECT user, action, detail FROM Audit ORDER BY id"),
             QStringList(
                 {"admin|重置密码|命令行 --passwd", "王五|重置密码|命令行 --passwd,新建管理员"}));
}

void TestPasswdCommand::emptyOrClosedInputChangesNothing()
{
    TempStation station;
    const QByteArray empty = "\n";
    Run run = runPasswd(station, {"admin"}, &empty);
    QCOMPARE(run.code, 1);
    QVERIFY(!run.errors.isEmpty());
    // Refused before anything was made.
    QVERIFY(!QFile::exists(station.filePath("user/user.zdb")));

    const QByteArray first = "first\n";
    QCOMPARE(runPasswd(station, {"admin"}, &first).code, 0);
    const QStringList before = users(station);
    for (const QByteArray *input : {&empty, static_cast<const QByteArray *>(nullptr)}) {
        run = runPasswd(station, {"admin"}, input);
        QCOMPARE(run.code, 1);
        QVERIFY(!run.errors.isEmpty());
        QCOMPARE(users(station), before);
    }
    QCOMPARE(runPasswd(station, {}, &first).code, 2);
    QCOMPARE(runPasswd(station, {""}, &first).code, 1);
    QCOMPARE(users(station), before);
}

void TestPasswdCommand::stationFolderItCreatesIsClosedToOthers()
{
    TempStation station;
    const QString folder = station.filePath("plant/station");
    // What a login shell gives: others may read what is made without a mode of its own.
    const mode_t saved = ::umask(022);
    const QByteArray line = "pw\n";
    const Run run = runPasswd(station, {"admin", "--station", folder}, &line);
    ::umask(saved);
    QCOMPARE(run.code, 0);
    const auto mode = [&](const QString &relative) {
        struct stat info;
        const QByteArray name = QFile::encodeName(folder + relative);
        return ::stat(name.constData(), &info) == 0 ? info.st_mode & 07777 : 07777;
    };
    QCOMPARE(mode(""), mode_t(0770));
    QCOMPARE(mode("/user"), mode_t(0770));
    QCOMPARE(mode("/user/user.zdb"), mode_t(0660));
    QVERIFY(!QFile::exists(station.filePath("user")));
}

QTEST_GUILESS_MAIN(TestPasswdCommand)
#include "tst_passwdcommand.moc"
