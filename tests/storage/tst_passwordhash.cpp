#include "storage/passwordhash.h"

#include <QtTest>

class TestPasswordHash : public QObject
{
    Q_OBJECT

private slots:
    void equalPasswordsGetDifferentHashesThatVerify();
    void storedIterationCountIsUsed();
    void plainTextAndDamagedHashes();
};

void TestPasswordHash::equalPasswordsGetDifferentHashesThatVerify()
{
    const std::string password = "pa'ss \"水质\" 密码";
    const std::string first = PasswordHash::make(password);
    const std::string second = PasswordHash::make(password);
    QVERIFY(first != second);
    const QStringList parts = QString::fromStdString(first).split('$');
    QCOMPARE(parts.size(), 4);
    QCOMPARE(parts[0], QStringLiteral("pbkdf2-sha256"));
    QVERIFY(parts[1].toInt() >= 100000);
    QCOMPARE(QByteArray::fromBase64(parts[2].toLatin1()).size(), 16);
    for (const std::string &hash : {first, second}) {
        QVERIFY(PasswordHash::verify(password, hash));
        QVERIFY(!PasswordHash::verify(password + " ", hash));
    }
    QVERIFY(PasswordHash::verify("", PasswordHash::make("")));
}

void TestPasswordHash::storedIterationCountIsUsed()
{
    const std::string cheap = PasswordHash::make("secret", 1000);
    QVERIFY(cheap.rfind("pbkdf2-sha256$1000$", 0) == 0);
    QVERIFY(PasswordHash::verify("secret", cheap));
    // The same salt and hash under another count is another password's hash.
    std::string raised = cheap;
    raised.replace(0, std::string("pbkdf2-sha256$1000").size(), "pbkdf2-sha256$1001");
    QVERIFY(!PasswordHash::verify("secret", raised));
    QVERIFY(PasswordHash::make("secret", 0).empty());
}

void TestPasswordHash::plainTextAndDamagedHashes()
{
    // Rows from before hashes hold the password itself.
    QVERIFY(!PasswordHash::isHash("secret"));
    QVERIFY(PasswordHash::verify("", ""));
    QVERIFY(PasswordHash::verify("secret", "secret"));
    QVERIFY(!PasswordHash::verify("secre", "secret"));

    const std::string good = PasswordHash::make("secret", 1000);
    const std::size_t lastDollar = good.rfind('$');
    const std::vector<std::string> damaged = {
        "pbkdf2-sha256$",
        "pbkdf2-sha256$1000$c2FsdA==",
        good.substr(0, good.size() - 4),             // hash cut short
        good.substr(0, lastDollar) + "$!!notbase64", // hash not base64
        "pbkdf2-sha256$0" + good.substr(good.find('$', 14)),
        "pbkdf2-sha256$99999999999" + good.substr(good.find('$', 14)),
        good + "$extra",
    };
    for (const std::string &stored : damaged) {
        QVERIFY2(!PasswordHash::isHash(stored), stored.c_str());
        // Never taken for plain text: the damaged text itself does not sign in.
        QVERIFY2(!PasswordHash::verify(stored, stored), stored.c_str());
        QVERIFY2(!PasswordHash::verify("secret", stored), stored.c_str());
    }
}

QTEST_GUILESS_MAIN(TestPasswordHash)
#include "tst_passwordhash.moc"
