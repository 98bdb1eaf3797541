// The account form against the station's accounts: the first sign-in of the default admin,
// refusals as the operator sees them, and adding and deleting accounts.
#include "app/appcontext.h"
#include "app/dialogaccount.h"
#include "storage/accounts.h"
#include "testsupport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QtTest>

namespace {

struct Form
{
    explicit Form(DialogAccount::Mode mode)
        : dialog(mode), answered(&dialog, &DialogAccount::signal_answered)
    {
        dialog.show();
    }
    void set(const char *field, const QString &text)
    {
        dialog.findChild<QLineEdit *>(field)->setText(text);
    }
    bool visible(const char *field) const
    {
        return dialog.findChild<QWidget *>(field)->isVisible();
    }
    // Presses OK and returns the accounts' answer; -1 when none came (refused in the form).
    int ok()
    {
        const int before = answered.size();
        dialog.accept();
        if (answered.size() == before && (!dialog.isBusy() || !answered.wait(10000)))
            return -1;
        return answered.last().at(0).toInt();
    }

    DialogAccount dialog;
    QSignalSpy answered;
};

} // namespace

class TestDialogAccount : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void theDefaultAdminSetsAPasswordTwiceBeforeSigningIn();
    void wrongPasswordsAreToldUntilSignInLocks();
    void accountsAreAddedAndDeletedWithTheirRefusals();

private:
    std::unique_ptr<TempStation> station;
    std::unique_ptr<MessageBoxRecorder> boxes;
};

void TestDialogAccount::init()
{
    station = std::make_unique<TempStation>();
    boxes = std::make_unique<MessageBoxRecorder>();
    AppContext::instance().init();
}

void TestDialogAccount::cleanup()
{
    Accounts::instance().signOut();
    Accounts::instance().setClock(nullptr);
    Accounts::instance().waitForJobs();
    boxes.reset();
    station.reset();
}

void TestDialogAccount::theDefaultAdminSetsAPasswordTwiceBeforeSigningIn()
{
    Form form(DialogAccount::SignIn);
    QVERIFY(!form.visible("lineEditNewPassword"));
    form.set("lineEditName", "admin");
    QCOMPARE(form.ok(), int(Accounts::MustSetPassword));
    QVERIFY(form.dialog.isSettingPassword());
    QVERIFY(form.visible("lineEditNewPassword") && form.visible("lineEditConfirm"));
    QVERIFY(!Accounts::instance().isSignedIn());

    // Two different entries are refused in the form; an empty one by the accounts.
    form.set("lineEditNewPassword", "新密码'1");
    form.set("lineEditConfirm", "新密码'2");
    QCOMPARE(form.ok(), -1);
    QCOMPARE(boxes->boxes.last().text, QString("两次输入的密码不一致。"));
    form.set("lineEditNewPassword", "");
    form.set("lineEditConfirm", "");
    QCOMPARE(form.ok(), int(Accounts::EmptyPassword));
    QVERIFY(!Accounts::instance().isSignedIn());

    form.set("lineEditNewPassword", "新密码'1");
    form.set("lineEditConfirm", "新密码'1");
    QCOMPARE(form.ok(), int(Accounts::Ok));
    QCOMPARE(form.dialog.result(), int(QDialog::Accepted));
    QVERIFY(Accounts::instance().isAdministrator());
    QCOMPARE(Accounts::instance().userName(), QString("admin"));
}

void TestDialogAccount::wrongPasswordsAreToldUntilSignInLocks()
{
    QVERIFY(signInAs("admin", "right"));
    Accounts::instance().signOut();
    // A fixed clock: the seconds left do not run down while the test runs.
    Accounts::instance().setClock([] { return qint64(1700000000000); });
    Form form(DialogAccount::SignIn);
    form.set("lineEditName", "admin");
    for (int attempt = 1; attempt < Accounts::maxFailures; ++attempt) {
        form.set("lineEditPassword", "wrong");
        QCOMPARE(form.ok(), int(Accounts::WrongPassword));
        QCOMPARE(boxes->boxes.last().text, QString("用户名或密码错误。"));
    }
    QCOMPARE(form.ok(), int(Accounts::Locked));
    QVERIFY(boxes->boxes.last().text.contains("30"));
    // Locked: the right password is refused too, and the form stays open.
    form.set("lineEditPassword", "right");
    QCOMPARE(form.ok(), int(Accounts::Locked));
    QVERIFY(form.dialog.isVisible());
    QVERIFY(!Accounts::instance().isSignedIn());
}

void TestDialogAccount::accountsAreAddedAndDeletedWithTheirRefusals()
{
    QVERIFY(signInAs());
    const QString longName = QString(200, QChar(0x6C34));
    {
        Form form(DialogAccount::AddUser);
        QVERIFY(form.visible("comboBoxRole") && !form.visible("lineEditPassword"));
        form.set("lineEditPassword", "ignored");
        form.set("lineEditNewPassword", "pw");
        form.set("lineEditConfirm", "pw");
        QCOMPARE(form.ok(), int(Accounts::EmptyName));
        QCOMPARE(boxes->boxes.last().text, QString("用户名不能为空。"));
        form.set("lineEditName", "admin");
        QCOMPARE(form.ok(), int(Accounts::NameTaken));
        form.set("lineEditName", longName);
        // The lesser role is proposed, and taken unless changed.
        QCOMPARE(form.dialog.findChild<QComboBox *>("comboBoxRole")->currentText(),
                 QString("操作员"));
        QCOMPARE(form.ok(), int(Accounts::Ok));
        QCOMPARE(boxes->boxes.last().text, QString("用户已添加。"));
    }
    {
        Form form(DialogAccount::DeleteUser);
        auto *users = form.dialog.findChild<QComboBox *>("comboBoxUser");
        QTRY_COMPARE(users->count(), 2);
        users->setCurrentIndex(users->findData("admin"));
        // Both the own account and the last administrator: either refusal holds.
        boxes->queueAnswer(QMessageBox::Yes);
        const int own = form.ok();
        QVERIFY(own == Accounts::OwnAccount || own == Accounts::LastAdministrator);
        QCOMPARE(boxes->boxes.last().text, (Accounts::Reply{own, 0}.text()));
        users->setCurrentIndex(users->findData(longName));
        QCOMPARE(users->currentText(), longName + "(操作员)");
        boxes->queueAnswer(QMessageBox::No);
        QCOMPARE(form.ok(), -1);
        boxes->queueAnswer(QMessageBox::Yes);
        QCOMPARE(form.ok(), int(Accounts::Ok));
    }
    QCOMPARE(auditRows().filter("删除用户").size(), 1);
}

QTEST_MAIN(TestDialogAccount)
#include "tst_dialogaccount.moc"
