#include "app/appcontext.h"
#include "storage/passphrase.h"
#include "storage/userdatabase.h"
#include "testsupport.h"

#include <QtTest>

class TestUserDatabase : public QObject
{
    Q_OBJECT

private slots:
    void createDatabaseStartsOverWithTheDefaultAccount();
    void duplicateNameIsRefused();
    void otherKindsDoNothing();
    void oldFileGainsRoleColumnAndAuditTable();
    void accountStatementsTakeAnyName();
    void auditRowsNewestFirstWithinBounds();
};

namespace {

UserDatabase *startStation()
{
    AppContext::instance().init();
    return static_cast<UserDatabase *>(AppContext::instance().object(UserDb));
}

QStringList accounts()
{
    return selectWithKey(AppContext::instance().path(UserDb),
                         "SELECT uid, name, password FROM User ORDER BY uid");
}

} // namespace

void TestUserDatabase::createDatabaseStartsOverWithTheDefaultAccount()
{
    TempStation station;
    UserDatabase *database = startStation();
    QVERIFY(database && database->isOpen());
    QCOMPARE(accounts(), QStringList({"1|admin|"})); // a missing file is made at start
    QCOMPARE(database->addUser("operator", "pa'ss"), 0);
    QCOMPARE(accounts(), QStringList({"1|admin|", "2|operator|pa'ss"}));

    QCOMPARE(database->createDatabase(UserDb), 0);
    QVERIFY(database->isOpen());
    QCOMPARE(accounts(), QStringList({"1|admin|"}));
}

void TestUserDatabase::duplicateNameIsRefused()
{
    TempStation station;
    UserDatabase *database = startStation();
    QVERIFY(database->addUser("admin", "other") != 0);
    QCOMPARE(accounts(), QStringList({"1|admin|"}));
}

void TestUserDatabase::otherKindsDoNothing()
{
    TempStation station;
    UserDatabase *database = startStation();
    QCOMPARE(database->addUser("operator", ""), 0);
    for (int kind : {int(ComPortConfig), int(RecordDb), int(UserManual), 42})
        QCOMPARE(database->createDatabase(kind), 0);
    QCOMPARE(accounts().size(), 2);
}

void TestUserDatabase::oldFileGainsRoleColumnAndAuditTable()
{
    TempStation station;
    QVERIFY(QDir().mkpath(station.filePath("user")));
    const QByteArray file = station.filePath("user/user.zdb").toUtf8();
    zircon_db *handle = nullptr;
    QCOMPARE(zircon_create(&handle, file.constData()), 0);
    QCOMPARE(zircon_set_password(handle, kPassPhrase, kPassPhraseLength), 0);
    QCOMPARE(zircon_run_sql(handle,
                            "CREATE TABLE User(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
                            "name VARCHAR NOT NULL UNIQUE,password VARCHAR);"
                            "INSERT INTO User(name,password) VALUES('admin','');"
                            "INSERT INTO User(name,password) VALUES('op','x');",
                            nullptr, nullptr),
             0);
    zircon_close(handle);

    UserDatabase *database = startStation();
    QVERIFY(database->isOpen());
    const QStringList columns = selectWithKey(file, "PRAGMA table_info(User)");
    QCOMPARE(columns.size(), 4);
    QVERIFY2(columns[3].startsWith("3|role|"), qPrintable(columns[3]));
    QCOMPARE(accounts(), QStringList({"1|admin|", "2|op|x"}));
    // Accounts from before roles stay administrators: no plant is locked out.
    long administrators = 0;
    QCOMPARE(database->countAdministrators(&administrators), 0);
    QCOMPARE(administrators, 2L);
    QCOMPARE(database->addUser("reader", "h", UserDatabase::operatorRole), 0);
    QCOMPARE(database->countAdministrators(&administrators), 0);
    QCOMPARE(administrators, 2L);
    QCOMPARE(database->appendAudit("2026-03-01 08:00:00", "admin", "登录", ""), 0);

    // Opening again adds nothing twice.
    QCOMPARE(database->close(), 0);
    QCOMPARE(database->open(), 0);
    QCOMPARE(selectWithKey(file, "SELECT count(*) FROM Audit"), QStringList({"1"}));
}

void TestUserDatabase::accountStatementsTakeAnyName()
{
    TempStation station;
    UserDatabase *database = startStation();
    const std::string awkward =
        QString(QStringLiteral("水'质\"")).repeated(50).toUtf8().toStdString(); // 200 characters
    QCOMPARE(database->addUser(awkward, "p'w", UserDatabase::operatorRole), 0);

    UserDatabase::Account account;
    bool found = false;
    QCOMPARE(database->findUser(awkward, &account, &found), 0);
    QVERIFY(found);
    QCOMPARE(account.name, awkward);
    QCOMPARE(account.password, std::string("p'w"));
    QVERIFY(!account.isAdministrator());
    QCOMPARE(database->findUser("水", &account, &found), 0);
    QVERIFY(!found);

    bool changed = false;
    QCOMPARE(database->setPassword(awkward, "new'", &changed), 0);
    QVERIFY(changed);
    QCOMPARE(database->setPassword("nobody", "x", &changed), 0);
    QVERIFY(!changed);
    std::vector<UserDatabase::Account> users;
    QCOMPARE(database->listUsers(&users), 0);
    QCOMPARE(int(users.size()), 2);
    QCOMPARE(users[0].name, std::string("admin"));
    QVERIFY(users[0].isAdministrator());
    QCOMPARE(users[1].password, std::string("new'"));

    QCOMPARE(database->deleteUser(awkward, &changed), 0);
    QVERIFY(changed);
    QCOMPARE(database->deleteUser(awkward, &changed), 0);
    QVERIFY(!changed);
    QCOMPARE(accounts(), QStringList({"1|admin|"}));
}

void TestUserDatabase::auditRowsNewestFirstWithinBounds()
{
    TempStation station;
    UserDatabase *database = startStation();
    const std::string name = "王'五\"";
    QCOMPARE(database->appendAudit("2026-02-28 23:59:59", name, "登录", ""), 0);
    QCOMPARE(database->appendAudit("2026-03-01 00:00:00", name, "清空", "删除记录 3 条"), 0);
    QCOMPARE(database->appendAudit("2026-03-01 12:00:00", "未登录", "登录失败", "a'b"), 0);
    QCOMPARE(database->appendAudit("2026-03-01 12:00:00", name, "注销", ""), 0);
    QCOMPARE(database->appendAudit("2026-03-02 00:00:00", name, "登录", ""), 0);

    auto times = [&](const std::string &from, const std::string &to, int limit) {
        std::vector<UserDatabase::AuditRow> rows;
        QStringList texts;
        if (database->listAudit(from, to, limit, &rows) != 0)
            return QStringList({"failed"});
        for (const auto &row : rows)
            texts << QString::fromStdString(std::to_string(row.id) + " " + row.action);
        return texts;
    };
    // Both bounds inclusive; the same second in the order written, newest first.
    QCOMPARE(times("2026-03-01 00:00:00", "2026-03-01 23:59:59", 0),
             QStringList({"4 注销", "3 登录失败", "2 清空"}));
    QCOMPARE(times("", "2026-03-01 00:00:00", 0), QStringList({"2 清空", "1 登录"}));
    QCOMPARE(times("2026-03-01 12:00:00", "", 2), QStringList({"5 登录", "4 注销"}));
    QCOMPARE(times("", "", 0).size(), 5);

    std::vector<UserDatabase::AuditRow> rows;
    QCOMPARE(database->listAudit("2026-03-01 12:00:00", "2026-03-01 12:00:00", 0, &rows), 0);
    QCOMPARE(rows.back().user, std::string("未登录"));
    QCOMPARE(rows.back().detail, std::string("a'b"));
    QCOMPARE(rows.front().user, name);
}

QTEST_GUILESS_MAIN(TestUserDatabase)
#include "tst_userdatabase.moc"
