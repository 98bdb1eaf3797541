#include "storage/passwordhash.h"
#include "testsupport.h"

#include <QtTest>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

// hydrovane --passwd NAME, run as an administrator would: the built station in a folder of its
// own, the new password on standard input.
class TestPasswdCommand : public QObject
{
    Q_OBJECT

private slots:
    void setsThePasswordOnAFreshStation();
    void emptyOrClosedInputChangesNothing();
    void stationFolderItCreatesIsClosedToOthers();
    void aGroupMemberMayNotHandOutTheKeysOfASharedFolder();
    void anOperatorBecomesAnAdministratorOnlyWhenAsked();
    void passwordsTheHashCannotTakeWholeAreRefused();
    void anEmptyFileOnAStationThatHadAccountsGetsOnlyTheNamedOne();
};

namespace {

struct Run
{
    int code = -1;
    QString errors;
};

// A process that becomes another user (with that user's one group) before it runs the program.
class ProcessAs : public QProcess
{
public:
    uid_t uid = 0;
    gid_t gid = 0;
    bool other = false;

protected:
    void setupChildProcess() override
    {
        // It must never go on as root by mistake.
        if (other && (::setgroups(1, &gid) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0))
            ::_exit(126);
    }
};

// Runs the program with these arguments and input as root, or as uid in group gid; the caller's
// SUDO_USER is not passed on unless sudoUser says which to give.
Run runProgram(const QString &program, const QStringList &arguments, const QByteArray *input,
               uid_t uid = 0, gid_t gid = 0, const QString &sudoUser = QString())
{
    ProcessAs process;
    process.uid = uid;
    process.gid = gid;
    process.other = uid != 0;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("SUDO_USER");
    environment.remove("HYDROVANE_STATION");
    if (!sudoUser.isEmpty())
        environment.insert("SUDO_USER", sudoUser);
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
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

// Copies the station into the folder (the station folder is the executable's) and runs it.
Run runPasswd(const TempStation &station, const QStringList &arguments, const QByteArray *input)
{
    const QString program = station.filePath("hydrovane");
    if (!QFile::exists(program) && !QFile::copy(QStringLiteral(HYDROVANE_PATH), program))
        return Run();
    return runProgram(program, QStringList({"--passwd"}) + arguments, input);
}

QStringList users(const QString &folder)
{
    return selectWithKey(folder + "/user/user.zdb", "SELECT name, password, role FROM User "
                                                    "ORDER BY uid");
}

QStringList trail(const QString &folder)
{
    return selectWithKey(folder + "/user/user.zdb",
                         "SELECT user, action, detail FROM Audit ORDER BY id");
}

// "系统用户 NAME" of the user running the tests, with whatever the login adds.
QString runner()
{
    return QStringLiteral("系统用户 ") + qEnvironmentVariable("USER", "root");
}

QStringList users(const TempStation &station)
{
    return users(station.path());
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

    // Under the system user who ran it, naming the account.
    const QStringList trailRows = trail(station.path());
    QCOMPARE(trailRows.size(), 2);
    QCOMPARE(trailRows[0].section('|', 1),
             QString("重置密码|账户 admin,命令行 --passwd,新建管理员"));
    QCOMPARE(trailRows[1].section('|', 1),
             QString("重置密码|账户 王五,命令行 --passwd,新建管理员"));
    for (const QString &row : trailRows)
        QVERIFY2(row.startsWith(runner()), qPrintable(row));
    QVERIFY(QFileInfo(station.filePath("hydrovane.accounts")).isFile());
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

void TestPasswdCommand::aGroupMemberMayNotHandOutTheKeysOfASharedFolder()
{
    if (::geteuid() != 0)
        QSKIP("The command is run as a member of the folder's group, which only root can "
              "arrange; run the tests as root to check it.");
    QTemporaryDir top;
    QVERIFY(top.isValid());
    // The other user must reach the program and the folder.
    QCOMPARE(::chmod(QFile::encodeName(top.path()).constData(), 0755), 0);
    const QString program = top.filePath("hydrovane");
    QVERIFY(QFile::copy(QStringLiteral(HYDROVANE_PATH), program));
    QCOMPARE(::chmod(QFile::encodeName(program).constData(), 0755), 0);
    // An operator's account and the station group, as numbers no name needs.
    const uid_t member = 64123;
    const gid_t group = 64123;
    const QString folder = top.filePath("station");
    const QByteArray folderName = QFile::encodeName(folder);
    QVERIFY(QDir().mkdir(folder));
    // The packaged folder: root's, the group's, setgid.
    QCOMPARE(::chown(folderName.constData(), 0, group), 0);
    QCOMPARE(::chmod(folderName.constData(), 02770), 0);
    const QStringList station = {"--station", folder};

    const QByteArray rootPassword = "root-pw\n";
    QCOMPARE(runProgram(program, station + QStringList{"--passwd", "admin"}, &rootPassword).code,
             0);
    const QStringList before = users(folder);
    QCOMPARE(before.size(), 1);

    // The member may write the folder, but not set passwords or make administrators in it.
    const QByteArray evePassword = "eve-pw\n";
    for (const QString &name : {QString("eve"), QString("admin")}) {
        const Run run = runProgram(program, station + QStringList{"--passwd", name, "--admin"},
                                   &evePassword, member, group);
        QCOMPARE(run.code, 1);
        QVERIFY2(run.errors.contains("sudo hydrovane --passwd " + name), qPrintable(run.errors));
    }
    QCOMPARE(users(folder), before);
    QCOMPARE(trail(folder).size(), 1);

    // The folder's owner may; SUDO_USER is believed from root only.
    QCOMPARE(::chown(folderName.constData(), member, group), 0);
    Run run = runProgram(program, station + QStringList{"--passwd", "eve"}, &evePassword, member,
                         group, "mallory");
    QCOMPARE(run.code, 0);
    QCOMPARE(users(folder).size(), 2);
    // Root uses only a folder of root's or of the station group.
    QCOMPARE(::chown(folderName.constData(), 0, group), 0);
    run = runProgram(program, station + QStringList{"--passwd", "admin"}, &rootPassword, 0, 0,
                     "alice");
    QCOMPARE(run.code, 0);
    const QStringList rows = trail(folder);
    QCOMPARE(rows.size(), 3);
    QVERIFY2(rows[0].startsWith("系统用户 root"), qPrintable(rows[0]));
    QCOMPARE(rows[1], QString("系统用户 64123|重置密码|账户 eve,命令行 --passwd,新建管理员"));
    QCOMPARE(rows[2], QString("系统用户 alice(sudo)|重置密码|账户 admin,命令行 --passwd"));
}

void TestPasswdCommand::anOperatorBecomesAnAdministratorOnlyWhenAsked()
{
    TempStation station;
    const QByteArray line = "pw\n";
    QCOMPARE(runPasswd(station, {"admin"}, &line).code, 0);
    int result = -1;
    selectWithKey(station.filePath("user/user.zdb"),
                  "INSERT INTO User(name,password,role) VALUES('op','old','operator'),"
                  "('odd','old','Admin')",
                  &result);
    QCOMPARE(result, 0);

    const QByteArray next = "next\n";
    for (const QString &name : {QString("op"), QString("odd")}) {
        const Run run = runPasswd(station, {name}, &next);
        QCOMPARE(run.code, 0);
        QVERIFY2(run.errors.contains("不是管理员") && run.errors.contains(name + " --admin"),
                 qPrintable(run.errors));
    }
    QStringList rows = users(station);
    QCOMPARE(rows[1].section('|', 2), QString("operator"));
    QCOMPARE(rows[2].section('|', 2), QString("Admin"));
    QVERIFY(PasswordHash::verify("next", rows[1].section('|', 1, 1).toStdString()));

    const QByteArray last = "last\n";
    const Run run = runPasswd(station, {"--admin", "op"}, &last);
    QCOMPARE(run.code, 0);
    rows = users(station);
    QCOMPARE(rows[1].section('|', 2), QString("admin"));
    QVERIFY(PasswordHash::verify("last", rows[1].section('|', 1, 1).toStdString()));
    const QStringList details = trail(station.path());
    QCOMPARE(details.size(), 4);
    QVERIFY(details[1].endsWith("|账户 op,命令行 --passwd,仍为操作员"));
    QVERIFY(details[3].endsWith("|账户 op,命令行 --passwd,设为管理员"));
    QCOMPARE(runPasswd(station, {"op", "odd"}, &last).code, 2);
}

void TestPasswdCommand::passwordsTheHashCannotTakeWholeAreRefused()
{
    TempStation station;
    const QByteArray first = "first\n";
    QCOMPARE(runPasswd(station, {"admin"}, &first).code, 0);
    const QStringList before = users(station);
    const QByteArray refused[] = {QByteArray(1025, 'a') + '\n', QByteArray("ab\0cd\n", 6),
                                  QByteArray(4 << 20, 'b'), QByteArray("\xff\xfe\n")};
    for (const QByteArray &input : refused) {
        const Run run = runPasswd(station, {"admin"}, &input);
        QCOMPARE(run.code, 1);
        QVERIFY2(run.errors.contains("1024"), qPrintable(run.errors));
        QCOMPARE(users(station), before);
    }
    // 1,024 bytes are taken whole, with or without a CR before the line end.
    for (const QByteArray &end : {QByteArray("\n"), QByteArray("\r\n")}) {
        const QByteArray longest = QByteArray(1024, 'c') + end;
        QCOMPARE(runPasswd(station, {"admin"}, &longest).code, 0);
        QVERIFY(PasswordHash::verify(std::string(1024, 'c'),
                                     users(station)[0].section('|', 1, 1).toStdString()));
    }
}

void TestPasswdCommand::anEmptyFileOnAStationThatHadAccountsGetsOnlyTheNamedOne()
{
    TempStation station;
    const QByteArray line = "pw\n";
    QCOMPARE(runPasswd(station, {"admin"}, &line).code, 0);
    // Emptied by someone who may write the folder: no default admin appears beside eve.
    QVERIFY(station.writeFile("user/user.zdb", QByteArray()));
    QCOMPARE(runPasswd(station, {"eve"}, &line).code, 0);
    const QStringList rows = users(station);
    QCOMPARE(rows.size(), 1);
    QVERIFY(rows[0].startsWith("eve|"));
    QVERIFY(rows[0].endsWith("|admin"));
}

QTEST_GUILESS_MAIN(TestPasswdCommand)
#include "tst_passwdcommand.moc"
