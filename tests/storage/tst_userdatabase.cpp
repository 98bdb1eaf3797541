#include "app/appcontext.h"
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

QTEST_GUILESS_MAIN(TestUserDatabase)
#include "tst_userdatabase.moc"
