#include "app/appcontext.h"
#include "storage/accounts.h"
#include "storage/passwordhash.h"
#include "storage/recordsink.h"
#include "storage/userdatabase.h"
#include "testsupport.h"

#include <QtTest>

#include <atomic>
#include <memory>
#include <mutex>

#include <sqlite3.h>

class TestAccounts : public QObject
{
    Q_OBJECT

private slots:
    void plainTextPasswordUpgradesAtFirstSignIn();
    void defaultAdminMustSetAPassword();
    void fiveFailuresLockSignInForThirtySeconds();
    void lockOutSurvivesARestart();
    void aFileWithoutAccountsLocksSignInUntilPasswdSetsOne();
    void passwordsTheHashCannotTakeWholeAreRefused();
    void trailRowsGoToTheLogAndTheSinkAndWaitForTheFile();
    void accountCommandsNeedAnAdministrator();
    void rolesOtherThanAdminSignInAsOperators_data();
    void rolesOtherThanAdminSignInAsOperators();
    void ownAccountAndLastAdministratorStay();
    void idleAdministratorIsSignedOut();
    void auditRowsCarryTheSignedInName();
    void unopenedFileLeavesAccountsUnavailable();
};

namespace {

// A station with its own accounts object on a clock the test moves.
struct Station
{
    Station()
    {
        AppContext::instance().init();
        users = static_cast<UserDatabase *>(AppContext::instance().object(UserDb));
        accounts.reset(new Accounts(users));
        accounts->setClock([this] { return clock.load(); });
    }

    QStringList audit()
    {
        accounts->waitForJobs();
        return selectWithKey(AppContext::instance().path(UserDb),
                             "SELECT time, user, action, detail FROM Audit ORDER BY id");
    }
    QStringList actions()
    {
        QStringList list;
        for (const QString &row : audit())
            list << row.section('|', 1, 2);
        return list;
    }
    std::string stored(const std::string &name)
    {
        accounts->waitForJobs();
        UserDatabase::Account account;
        bool found = false;
        users->findUser(name, &account, &found);
        return found ? account.password : std::string("<none>");
    }

    TempStation dir;
    UserDatabase *users = nullptr;
    // 2026-03-01 12:00:00 local time
    std::atomic<qint64> clock{QDateTime(QDate(2026, 3, 1), QTime(12, 0)).toMSecsSinceEpoch()};
    std::unique_ptr<Accounts> accounts;
};

// Runs one call and waits for its reply.
Accounts::Reply wait(const std::function<void(const Accounts::Done &)> &call)
{
    bool done = false;
    Accounts::Reply reply;
    reply.result = -1;
    call([&](const Accounts::Reply &got) {
        reply = got;
        done = true;
    });
    if (!QTest::qWaitFor([&] { return done; }, 20000))
        qWarning("no reply");
    return reply;
}

Accounts::Reply signIn(Accounts &accounts, const QString &name, const QString &password)
{
    return wait([&](const Accounts::Done &done) {
        accounts.signIn(name, password, nullptr, done);
    });
}

// Signs in as the default admin, giving it a password.
void signInAdmin(Accounts &accounts, const QString &password = QStringLiteral("admin'pw"))
{
    const auto reply = wait([&](const Accounts::Done &done) {
        accounts.signInSettingPassword("admin", "", password, nullptr, done);
    });
    QCOMPARE(reply.result, int(Accounts::Ok));
}

Accounts::Reply addUser(Accounts &accounts, const QString &name, const QString &password,
                        int role)
{
    return wait([&](const Accounts::Done &done) {
        accounts.addUser(name, password, role, nullptr, done);
    });
}

Accounts::Reply deleteUser(Accounts &accounts, const QString &name)
{
    return wait([&](const Accounts::Done &done) { accounts.deleteUser(name, nullptr, done); });
}

} // namespace

void TestAccounts::plainTextPasswordUpgradesAtFirstSignIn()
{
    Station station;
    const QString name = QStringLiteral("张'三");
    QCOMPARE(station.users->addUser(name.toStdString(), "pw'1"), 0);
    QSignalSpy changed(station.accounts.get(), &Accounts::signal_userChanged);

    QCOMPARE(signIn(*station.accounts, name, "pw'2").result, int(Accounts::WrongPassword));
    QCOMPARE(station.stored(name.toStdString()), std::string("pw'1"));

    QCOMPARE(signIn(*station.accounts, name, "pw'1").result, int(Accounts::Ok));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(station.accounts->userName(), name);
    QVERIFY(!station.accounts->isAdministrator()); // a row without a role: an operator
    const std::string hash = station.stored(name.toStdString());
    QVERIFY(PasswordHash::isHash(hash));
    QVERIFY(PasswordHash::verify("pw'1", hash));

    station.accounts->signOut();
    QCOMPARE(changed.count(), 2);
    QCOMPARE(signIn(*station.accounts, name, "pw'1").result, int(Accounts::Ok));
    QCOMPARE(station.stored(name.toStdString()), hash); // already upgraded
    QCOMPARE(signIn(*station.accounts, name, "pw'1x").result, int(Accounts::WrongPassword));

    QCOMPARE(station.actions(), QStringList({name + "|登录失败", name + "|登录", name + "|注销",
                                             name + "|登录", name + "|登录失败"}));
    QVERIFY(station.audit().first().startsWith("2026-03-01 12:00:00|"));
}

void TestAccounts::defaultAdminMustSetAPassword()
{
    Station station;
    Accounts &accounts = *station.accounts;
    QCOMPARE(signIn(accounts, "admin", "").result, int(Accounts::MustSetPassword));
    QVERIFY(!accounts.isSignedIn());
    QCOMPARE(station.stored("admin"), std::string());

    auto reply = wait([&](const Accounts::Done &done) {
        accounts.signInSettingPassword("admin", "", "", nullptr, done);
    });
    QCOMPARE(reply.result, int(Accounts::EmptyPassword));

    signInAdmin(accounts, QStringLiteral("新密码"));
    QVERIFY(accounts.isAdministrator());
    QVERIFY(PasswordHash::verify("新密码", station.stored("admin")));
    accounts.signOut();
    QCOMPARE(signIn(accounts, "admin", "").result, int(Accounts::WrongPassword));
    QCOMPARE(signIn(accounts, "admin", "新密码").result, int(Accounts::Ok));
}

void TestAccounts::fiveFailuresLockSignInForThirtySeconds()
{
    Station station;
    Accounts &accounts = *station.accounts;
    signInAdmin(accounts, "right");
    accounts.signOut();

    // A success starts the count again.
    for (int i = 0; i < 4; ++i)
        QCOMPARE(signIn(accounts, "admin", "wrong").result, int(Accounts::WrongPassword));
    QCOMPARE(signIn(accounts, "admin", "right").result, int(Accounts::Ok));
    accounts.signOut();

    // Any names count, also ones that do not exist.
    for (const char *name : {"admin", "nobody", "", "admin"})
        QCOMPARE(signIn(accounts, name, "wrong").result, int(Accounts::WrongPassword));
    auto reply = signIn(accounts, "nobody", "wrong");
    QCOMPARE(reply.result, int(Accounts::Locked));
    QCOMPARE(reply.secondsLeft, 30);
    QVERIFY(reply.text().contains("30"));

    station.clock += 29500;
    reply = signIn(accounts, "admin", "right");
    QCOMPARE(reply.result, int(Accounts::Locked));
    QCOMPARE(reply.secondsLeft, 1);
    QVERIFY(!accounts.isSignedIn());

    station.clock += 500;
    QCOMPARE(signIn(accounts, "admin", "wrong").result, int(Accounts::WrongPassword));
    QCOMPARE(signIn(accounts, "admin", "right").result, int(Accounts::Ok));

    const QStringList rows = station.audit();
    QCOMPARE(rows.filter("|登录失败|").size(), 4 + 5 + 1);
    QVERIFY(rows.filter("|登录失败|").at(8).contains("登录锁定 30 秒"));
    // A name that is no account may be a password typed into the wrong field: not kept.
    QCOMPARE(rows.filter("|未知用户|登录失败|").size(), 3);
    QVERIFY(rows.filter("nobody").isEmpty());
}

void TestAccounts::lockOutSurvivesARestart()
{
    Station station;
    signInAdmin(*station.accounts, "right");
    station.accounts->signOut();
    for (int i = 0; i < 4; ++i)
        QCOMPARE(signIn(*station.accounts, "admin", "wrong").result, int(Accounts::WrongPassword));
    // The program ends and starts again: the file is closed and opened under new accounts.
    const auto restart = [&station] {
        station.accounts->waitForJobs();
        station.accounts.reset();
        QCOMPARE(station.users->close(), 0);
        QCOMPARE(station.users->open(), 0);
        station.accounts.reset(new Accounts(station.users));
        station.accounts->setClock([&station] { return station.clock.load(); });
    };
    restart();
    auto reply = signIn(*station.accounts, "admin", "wrong");
    QCOMPARE(reply.result, int(Accounts::Locked));
    QCOMPARE(reply.secondsLeft, 30);

    restart();
    station.clock += 10000;
    reply = signIn(*station.accounts, "admin", "right");
    QCOMPARE(reply.result, int(Accounts::Locked));
    QCOMPARE(reply.secondsLeft, 20);
    // A clock set back a day makes the lock no longer than its length.
    station.clock -= 24 * 3600 * 1000;
    reply = signIn(*station.accounts, "admin", "right");
    QCOMPARE(reply.result, int(Accounts::Locked));
    QCOMPARE(reply.secondsLeft, 30);
    station.clock += 30000;
    QCOMPARE(signIn(*station.accounts, "admin", "right").result, int(Accounts::Ok));
    station.accounts->waitForJobs();
    QCOMPARE(selectWithKey(AppContext::instance().path(UserDb),
                           "SELECT failures, lockedUntil FROM SignInGuard"),
             QStringList({"0|0"}));
}

void TestAccounts::aFileWithoutAccountsLocksSignInUntilPasswdSetsOne()
{
    Station station;
    QCOMPARE(selectWithKey(AppContext::instance().path(UserDb), "DELETE FROM User"), QStringList());
    Accounts &accounts = *station.accounts;
    // Nothing to guess at: no attempt counts towards the lock-out.
    for (int i = 0; i < Accounts::maxFailures + 1; ++i) {
        const auto reply = signIn(accounts, "admin", "");
        QCOMPARE(reply.result, int(Accounts::NoAccounts));
        QVERIFY(reply.text().contains("sudo hydrovane --passwd admin"));
    }
    QVERIFY(!accounts.isSignedIn());

    int change = -1;
    QCOMPARE(Accounts::resetPassword(station.users, "admin", "pw", false, "系统用户 root", &change),
             int(Accounts::Ok));
    QCOMPARE(change, int(Accounts::AccountCreated));
    QCOMPARE(signIn(accounts, "admin", "pw").result, int(Accounts::Ok));
    QVERIFY(accounts.isAdministrator());
    QCOMPARE(station.actions(), QStringList({"系统用户 root|重置密码", "admin|登录"}));
}

void TestAccounts::passwordsTheHashCannotTakeWholeAreRefused()
{
    Station station;
    Accounts &accounts = *station.accounts;
    const QString tooLong = QString(342, QChar(0x5BC6)); // 密: 1,026 bytes of UTF-8
    const QString withNul = QStringLiteral("ab") + QChar(0) + QStringLiteral("cd");
    for (const QString &password : {tooLong, withNul, QString(1025, 'a')}) {
        const auto reply = wait([&](const Accounts::Done &done) {
            accounts.signInSettingPassword("admin", "", password, nullptr, done);
        });
        QCOMPARE(reply.result, int(Accounts::UnusablePassword));
    }
    QVERIFY(!accounts.isSignedIn());
    signInAdmin(accounts, QString(1024, 'a'));
    for (const QString &password : {tooLong, withNul})
        QCOMPARE(addUser(accounts, "op", password, Accounts::Operator).result,
                 int(Accounts::UnusablePassword));
    const auto change = wait([&](const Accounts::Done &done) {
        accounts.changePassword(QString(1024, 'a'), withNul, nullptr, done);
    });
    QCOMPARE(change.result, int(Accounts::UnusablePassword));
    int changed = -1;
    QCOMPARE(Accounts::resetPassword(station.users, "admin", withNul, false, "x", &changed),
             int(Accounts::UnusablePassword));
    QVERIFY(PasswordHash::verify(std::string(1024, 'a'), station.stored("admin")));
}

namespace {

// Records the trail rows handed to the sink.
class TrailSink : public RecordSink
{
public:
    void recordRow(const RecordRow &) override {}
    void alarmChange(int, const AlarmEvent &) override {}
    void auditRow(const std::string &time, const std::string &user, const std::string &action,
                  const std::string &detail) override
    {
        std::lock_guard<std::mutex> locked(mutex);
        rows << QString::fromStdString(time + '|' + user + '|' + action + '|' + detail);
    }
    QStringList taken()
    {
        std::lock_guard<std::mutex> locked(mutex);
        return rows;
    }

private:
    std::mutex mutex;
    QStringList rows;
};

std::mutex logMutex;
QStringList logLines;

void keepLogLine(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    std::lock_guard<std::mutex> locked(logMutex);
    logLines << QString::number(int(type)) + ' ' + text;
}

QStringList loggedTrail()
{
    std::lock_guard<std::mutex> locked(logMutex);
    return logLines.filter("操作记录 {");
}

} // namespace

void TestAccounts::trailRowsGoToTheLogAndTheSinkAndWaitForTheFile()
{
    Station station;
    Accounts &accounts = *station.accounts;
    TrailSink sink;
    RecordSink::setCurrent(&sink);
    {
        std::lock_guard<std::mutex> locked(logMutex);
        logLines.clear();
    }
    const QtMessageHandler previous = qInstallMessageHandler(keepLogLine);
    QSignalSpy changed(&accounts, &Accounts::signal_trailChanged);

    // Another program holds the file: none of our statements gets in.
    zircon_db *other = nullptr;
    QCOMPARE(ZirconDatabase::openKeyedConnection(AppContext::instance().path(UserDb).toStdString(),
                                                 &other, 0, false),
             0);
    QCOMPARE(zircon_run_sql(other, "BEGIN EXCLUSIVE", nullptr, nullptr), 0);
    accounts.audit("清空", "第一\n行");
    station.clock += 1000;
    accounts.audit("导入", "第二");
    accounts.waitForJobs();
    Accounts::TrailStatus status = accounts.trailStatus();
    QCOMPARE(status.held, 2);
    QCOMPARE(status.failure & 0xFF, SQLITE_BUSY);
    QTRY_VERIFY(changed.count() >= 1);
    // Outside copies meanwhile, in the order made; a line end in a detail stays in its line.
    QCOMPARE(sink.taken(), QStringList({"2026-03-01 12:00:00|未登录|清空|第一\n行",
                                        "2026-03-01 12:00:01|未登录|导入|第二"}));
    QStringList logged = loggedTrail();
    QCOMPARE(logged.size(), 2);
    QCOMPARE(logged[0], QString::number(int(QtInfoMsg)) +
                            " hydrovane: 操作记录 {\"action\":\"清空\",\"detail\":\"第一\\n行\","
                            "\"time\":\"2026-03-01 12:00:00\",\"user\":\"未登录\"}");
    {
        std::lock_guard<std::mutex> locked(logMutex);
        QCOMPARE(logLines.filter("暂存在内存中").size(), 1);
    }

    // Free again: the next row writes the held ones first, in order.
    zircon_run_sql(other, "COMMIT", nullptr, nullptr);
    accounts.audit("删除仪表", "第三");
    accounts.waitForJobs();
    QCOMPARE(accounts.trailStatus().held, 0);
    QCOMPARE(station.actions(), QStringList({"未登录|清空", "未登录|导入", "未登录|删除仪表"}));

    // Held again, then written by the retry alone.
    QCOMPARE(zircon_run_sql(other, "BEGIN EXCLUSIVE", nullptr, nullptr), 0);
    accounts.audit("备份", "第四");
    accounts.waitForJobs();
    QCOMPARE(accounts.trailStatus().held, 1);
    zircon_run_sql(other, "COMMIT", nullptr, nullptr);
    zircon_close(other);
    QTRY_COMPARE_WITH_TIMEOUT(accounts.trailStatus().held, 0, 3 * Accounts::trailRetryMs);
    QCOMPARE(station.actions().last(), QString("未登录|备份"));
    QCOMPARE(loggedTrail().size(), 4);

    qInstallMessageHandler(previous);
    RecordSink::setCurrent(nullptr);
}

void TestAccounts::accountCommandsNeedAnAdministrator()
{
    Station station;
    Accounts &accounts = *station.accounts;
    QCOMPARE(addUser(accounts, "op", "pw", Accounts::Operator).result,
             int(Accounts::NotSignedIn));
    QCOMPARE(deleteUser(accounts, "admin").result, int(Accounts::NotSignedIn));

    signInAdmin(accounts);
    QCOMPARE(addUser(accounts, "", "pw", Accounts::Operator).result, int(Accounts::EmptyName));
    QCOMPARE(addUser(accounts, "  ", "pw", Accounts::Operator).result, int(Accounts::EmptyName));
    QCOMPARE(addUser(accounts, "op", "", Accounts::Operator).result, int(Accounts::EmptyPassword));
    QCOMPARE(addUser(accounts, "admin", "pw", Accounts::Operator).result,
             int(Accounts::NameTaken));
    const QString longName = QString(QStringLiteral("监'测\"站")).repeated(40); // 200 characters
    QCOMPARE(addUser(accounts, longName, "p'w", Accounts::Administrator).result,
             int(Accounts::Ok));
    QCOMPARE(addUser(accounts, "op", "op'pw", Accounts::Operator).result, int(Accounts::Ok));

    QStringList users;
    accounts.listUsers(nullptr, [&](int, const QVector<Accounts::User> &list) {
        for (const auto &user : list)
            users << user.name + Accounts::roleText(user.role);
    });
    QTRY_COMPARE(users, QStringList({"admin管理员", "op操作员", longName + "管理员"}));

    // An operator signs in but manages no accounts; its own password it may change.
    QCOMPARE(signIn(accounts, "op", "op'pw").result, int(Accounts::Ok));
    QVERIFY(accounts.isSignedIn() && !accounts.isAdministrator());
    QCOMPARE(addUser(accounts, "x", "pw", Accounts::Operator).result,
             int(Accounts::NotAdministrator));
    QCOMPARE(deleteUser(accounts, longName).result, int(Accounts::NotAdministrator));
    auto change = [&](const QString &oldPassword, const QString &newPassword) {
        return wait([&](const Accounts::Done &done) {
            accounts.changePassword(oldPassword, newPassword, nullptr, done);
        });
    };
    QCOMPARE(change("nope", "next").result, int(Accounts::WrongPassword));
    QCOMPARE(change("op'pw", "").result, int(Accounts::EmptyPassword));
    QCOMPARE(change("op'pw", "next").result, int(Accounts::Ok));
    QCOMPARE(signIn(accounts, "op", "next").result, int(Accounts::Ok));
    QCOMPARE(signIn(accounts, longName, "p'w").result, int(Accounts::Ok));

    const QStringList rows = station.audit();
    QVERIFY(rows.filter("|admin|添加用户|op（操作员）").size() == 1);
    QVERIFY(rows.filter("|admin|添加用户|" + longName + "（管理员）").size() == 1);
    QVERIFY(rows.filter("|op|修改密码|").size() == 1);
}

void TestAccounts::rolesOtherThanAdminSignInAsOperators_data()
{
    QTest::addColumn<QString>("role");
    QTest::addColumn<bool>("null");
    QTest::newRow("empty") << "" << false;
    QTest::newRow("Admin") << "Admin" << false;
    QTest::newRow("root") << "root" << false;
    QTest::newRow("NULL") << "" << true;
}

void TestAccounts::rolesOtherThanAdminSignInAsOperators()
{
    QFETCH(QString, role);
    QFETCH(bool, null);
    Station station;
    const std::string hash = PasswordHash::make("pw");
    QCOMPARE(null ? station.users->addUser("user", hash)
                  : station.users->addUser("user", hash, role.toStdString()),
             0);
    Accounts &accounts = *station.accounts;
    QCOMPARE(signIn(accounts, "user", "pw").result, int(Accounts::Ok));
    QCOMPARE(accounts.role(), int(Accounts::Operator));
    QVERIFY(!accounts.isAdministrator());
    QCOMPARE(addUser(accounts, "x", "pw", Accounts::Operator).result,
             int(Accounts::NotAdministrator));
    QCOMPARE(deleteUser(accounts, "admin").result, int(Accounts::NotAdministrator));
    QVERIFY(station.audit().last().endsWith("|user|登录|操作员"));
}

void TestAccounts::ownAccountAndLastAdministratorStay()
{
    Station station;
    Accounts &accounts = *station.accounts;
    signInAdmin(accounts);
    // The only administrator is the one signed in.
    QCOMPARE(deleteUser(accounts, "admin").result, int(Accounts::OwnAccount));
    QCOMPARE(deleteUser(accounts, "ghost").result, int(Accounts::NoSuchUser));
    QCOMPARE(addUser(accounts, "second", "pw", Accounts::Administrator).result, int(Accounts::Ok));
    QCOMPARE(addUser(accounts, "op", "pw", Accounts::Operator).result, int(Accounts::Ok));

    QCOMPARE(signIn(accounts, "second", "pw").result, int(Accounts::Ok));
    QCOMPARE(deleteUser(accounts, "second").result, int(Accounts::OwnAccount));
    QCOMPARE(deleteUser(accounts, "admin").result, int(Accounts::Ok));
    QCOMPARE(deleteUser(accounts, "op").result, int(Accounts::Ok));
    QCOMPARE(selectWithKey(AppContext::instance().path(UserDb), "SELECT name FROM User"),
             QStringList({"second"}));
    QCOMPARE(station.actions().filter("删除用户").size(), 2);
}

void TestAccounts::idleAdministratorIsSignedOut()
{
    Station station;
    Accounts &accounts = *station.accounts;
    accounts.setIdleTimeout(20);
    QSignalSpy idle(&accounts, &Accounts::signal_idleSignedOut);
    QSignalSpy changed(&accounts, &Accounts::signal_userChanged);

    signInAdmin(accounts);
    QCOMPARE(changed.count(), 1);
    // Input just now: the time since the sign-in does not count.
    station.clock += 60000;
    QEvent key(QEvent::KeyPress);
    QCoreApplication::sendEvent(&accounts, &key);
    station.clock += 19;
    // Nothing idle yet however often the timer looks; then the clock passes the limit.
    QTimer::singleShot(100, [&] { station.clock += 1; });
    QVERIFY(idle.wait(20000));
    const QDateTime limit = QDateTime(QDate(2026, 3, 1), QTime(12, 1)).addMSecs(20);
    QCOMPARE(station.clock.load(), limit.toMSecsSinceEpoch());
    QVERIFY(!accounts.isSignedIn());
    QCOMPARE(changed.count(), 2);
    QCOMPARE(station.actions().last(), QStringLiteral("admin|注销"));
    QVERIFY(station.audit().last().endsWith("|闲置超时，自动注销"));
    QVERIFY(station.audit().last().startsWith("2026-03-01 12:01:00|"));
}

void TestAccounts::auditRowsCarryTheSignedInName()
{
    Station station;
    Accounts &accounts = *station.accounts;
    accounts.audit("清空", "删除记录 3 条");
    signInAdmin(accounts);
    station.clock += 24 * 3600 * 1000;
    accounts.audit("删除仪表", "DO'1");
    QCOMPARE(station.actions(), QStringList({"未登录|清空", "admin|登录", "admin|修改密码",
                                             "admin|删除仪表"}));

    QVector<Accounts::AuditEntry> entries;
    bool listed = false;
    const QDateTime day(QDate(2026, 3, 2), QTime(0, 0));
    accounts.listAudit(day, QDateTime(), 0, nullptr,
                       [&](int result, const QVector<Accounts::AuditEntry> &rows) {
                           QCOMPARE(result, int(Accounts::Ok));
                           entries = rows;
                           listed = true;
                       });
    QTRY_VERIFY(listed);
    QCOMPARE(entries.size(), 1);
    QCOMPARE(entries[0].time, QStringLiteral("2026-03-02 12:00:00"));
    QCOMPARE(entries[0].detail, QStringLiteral("DO'1"));

    // A reply whose asker is gone is dropped.
    auto *asker = new QObject;
    bool called = false;
    accounts.listAudit(QDateTime(), day, 0, asker,
                       [&](int, const QVector<Accounts::AuditEntry> &) { called = true; });
    accounts.listAudit(QDateTime(), day, 0, nullptr,
                       [&](int, const QVector<Accounts::AuditEntry> &rows) { entries = rows; });
    delete asker;
    QTRY_COMPARE(entries.size(), 3);
    QCOMPARE(entries[0].action, QStringLiteral("修改密码")); // newest first
    QVERIFY(!called);
}

void TestAccounts::unopenedFileLeavesAccountsUnavailable()
{
    TempStation dir;
    QVERIFY(dir.writeFile("user/user.zdb", QByteArray("not a database").repeated(100)));
    AppContext::instance().init();
    auto *users = static_cast<UserDatabase *>(AppContext::instance().object(UserDb));
    QVERIFY(!users->isOpen());
    Accounts accounts(users);
    QVERIFY(!accounts.isAvailable());

    const auto reply = signIn(accounts, "admin", "");
    QCOMPARE(reply.result, int(Accounts::Unavailable));
    QVERIFY(!reply.text().isEmpty());
    accounts.audit("清空");
    int listed = -1;
    accounts.listAudit(QDateTime(), QDateTime(), 0, nullptr,
                       [&](int result, const QVector<Accounts::AuditEntry> &) { listed = result; });
    QTRY_COMPARE(listed, int(Accounts::Unavailable));
    int change = -1;
    QCOMPARE(Accounts::resetPassword(users, "admin", "pw", false, "系统用户 root", &change),
             int(Accounts::Unavailable));
    // The row is held, not dropped.
    accounts.waitForJobs();
    QCOMPARE(accounts.trailStatus().held, 1);
    QCOMPARE(dir.readFile("user/user.zdb"), QByteArray("not a database").repeated(100));
}

QTEST_GUILESS_MAIN(TestAccounts)
#include "tst_accounts.moc"
