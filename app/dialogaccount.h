#ifndef DIALOGACCOUNT_H
#define DIALOGACCOUNT_H

#include <QDialog>

namespace Ui {
class DialogAccount;
}

// The account commands of the 用户 menu in one small form: signing in (and setting a first
// password for an account that has none), changing one's own password, adding and deleting an
// account. The accounts do the checking and the slow work off this thread; the form waits for
// their answer with its OK button disabled, shows refusals in a message box and closes itself
// once a command went through.
class DialogAccount : public QDialog
{
    Q_OBJECT

public:
    enum Mode
    {
        SignIn,
        ChangePassword,
        AddUser,
        DeleteUser
    };

    explicit DialogAccount(Mode mode, QWidget *parent = nullptr);
    ~DialogAccount() override;

    // The form asks for a new password twice before the account is signed in.
    bool isSettingPassword() const { return settingPassword; }
    bool isBusy() const { return busy; }

public slots:
    void accept() override;

signals:
    // The accounts answered a command; the dialog may have closed. For tests.
    void signal_answered(int result);

private:
    void showFields();
    void setBusy(bool value);
    // Shows a refusal; true when the command went through.
    bool answered(int result, const QString &text);

    Ui::DialogAccount *ui;
    const Mode mode;
    bool settingPassword = false;
    bool busy = false;
};

#endif // DIALOGACCOUNT_H
