#include "dialogaccount.h"
#include "ui_dialogaccount.h"

#include "panels/messageboxes.h"
#include "storage/accounts.h"

#include <QPushButton>

DialogAccount::DialogAccount(Mode mode, QWidget *parent)
    : QDialog(parent), ui(new Ui::DialogAccount), mode(mode)
{
    ui->setupUi(this);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    connect(ui->buttonBox, &QDialogButtonBox::accepted, this, &DialogAccount::accept);
    connect(ui->buttonBox, &QDialogButtonBox::rejected, this, &DialogAccount::reject);
    showFields();
    // The lesser role: an administrator is made on purpose.
    if (mode == AddUser)
        ui->comboBoxRole->setCurrentIndex(1);
    if (mode == DeleteUser) {
        setBusy(true);
        Accounts::instance().listUsers(
            this, [this](int result, const QVector<Accounts::User> &users) {
                setBusy(false);
                if (result != Accounts::Ok) {
                    ui->labelHint->setText(Accounts::Reply{result, 0}.text());
                    return;
                }
                const QString self = Accounts::instance().userName();
                for (const Accounts::User &user : users) {
                    // Offered anyway: the refusal says why one's own account stays.
                    ui->comboBoxUser->addItem(user.name + QStringLiteral("(") +
                                                  Accounts::roleText(user.role) +
                                                  QStringLiteral(")"),
                                              user.name);
                    if (user.name == self)
                        ui->comboBoxUser->setItemData(ui->comboBoxUser->count() - 1,
                                                      QStringLiteral("当前登录的用户"),
                                                      Qt::ToolTipRole);
                }
            });
    }
}

DialogAccount::~DialogAccount()
{
    delete ui;
}

void DialogAccount::showFields()
{
    const bool signIn = mode == SignIn;
    const bool newPassword = mode == ChangePassword || mode == AddUser || settingPassword;
    const auto show = [](QWidget *label, QWidget *field, bool visible) {
        label->setVisible(visible);
        field->setVisible(visible);
    };
    show(ui->labelName, ui->lineEditName, signIn || mode == AddUser);
    show(ui->labelUser, ui->comboBoxUser, mode == DeleteUser);
    show(ui->labelPassword, ui->lineEditPassword, signIn || mode == ChangePassword);
    show(ui->labelNewPassword, ui->lineEditNewPassword, newPassword);
    show(ui->labelConfirm, ui->lineEditConfirm, newPassword);
    show(ui->labelRole, ui->comboBoxRole, mode == AddUser);
    ui->labelNewPassword->setText(mode == AddUser ? QStringLiteral("密码")
                                                  : QStringLiteral("新密码"));
    ui->labelPassword->setText(mode == ChangePassword ? QStringLiteral("原密码")
                                                      : QStringLiteral("密码"));
    ui->lineEditName->setReadOnly(settingPassword);
    ui->lineEditPassword->setReadOnly(settingPassword);
    switch (mode) {
    case SignIn:
        setWindowTitle(QStringLiteral("登录"));
        break;
    case ChangePassword:
        setWindowTitle(QStringLiteral("修改密码"));
        ui->labelHint->setText(QStringLiteral("用户:") + Accounts::instance().userName());
        break;
    case AddUser:
        setWindowTitle(QStringLiteral("添加用户"));
        break;
    case DeleteUser:
        setWindowTitle(QStringLiteral("删除用户"));
        break;
    }
    if (settingPassword) {
        ui->labelHint->setText(QStringLiteral("该账户尚未设置密码,请设置新密码后登录。"));
        ui->lineEditNewPassword->setFocus();
    }
}

void DialogAccount::setBusy(bool value)
{
    busy = value;
    ui->buttonBox->button(QDialogButtonBox::Ok)->setEnabled(!value);
}

void DialogAccount::accept()
{
    if (busy)
        return;
    Accounts &accounts = Accounts::instance();
    const QString name = ui->lineEditName->text();
    const QString password = ui->lineEditPassword->text();
    const QString newPassword = ui->lineEditNewPassword->text();
    const bool asksNew = mode == ChangePassword || mode == AddUser || settingPassword;
    if (asksNew && newPassword != ui->lineEditConfirm->text()) {
        MessageBoxes::critical(QStringLiteral("错误"), QStringLiteral("两次输入的密码不一致。"));
        return;
    }
    const auto done = [this](const Accounts::Reply &reply) {
        setBusy(false);
        const bool ok = answered(reply.result, reply.text());
        emit signal_answered(reply.result);
        if (ok)
            QDialog::accept();
    };

    setBusy(true);
    switch (mode) {
    case SignIn:
        if (settingPassword)
            accounts.signInSettingPassword(name, password, newPassword, this, done);
        else
            accounts.signIn(name, password, this, done);
        break;
    case ChangePassword:
        accounts.changePassword(password, newPassword, this, done);
        break;
    case AddUser:
        accounts.addUser(name, newPassword,
                         ui->comboBoxRole->currentIndex() == 0 ? Accounts::Administrator
                                                               : Accounts::Operator,
                         this, done);
        break;
    case DeleteUser: {
        const QString user = ui->comboBoxUser->currentData().toString();
        if (ui->comboBoxUser->currentIndex() < 0 ||
            MessageBoxes::warning(QStringLiteral("警告"),
                                  QStringLiteral("确认删除用户\"%1\"?").arg(user),
                                  QMessageBox::Yes | QMessageBox::No,
                                  QMessageBox::No) != QMessageBox::Yes) {
            setBusy(false);
            return;
        }
        accounts.deleteUser(user, this, done);
        break;
    }
    }
}

bool DialogAccount::answered(int result, const QString &text)
{
    if (result == Accounts::Ok) {
        if (mode == ChangePassword)
            MessageBoxes::information(QStringLiteral("通知"), QStringLiteral("密码已修改。"));
        else if (mode == AddUser)
            MessageBoxes::information(QStringLiteral("通知"), QStringLiteral("用户已添加。"));
        else if (mode == DeleteUser)
            MessageBoxes::information(QStringLiteral("通知"), QStringLiteral("用户已删除。"));
        return true;
    }
    if (mode == SignIn && result == Accounts::MustSetPassword && !settingPassword) {
        // Right name, no password yet: a new one, twice, before the account is signed in.
        settingPassword = true;
        showFields();
        MessageBoxes::information(QStringLiteral("登录"), text);
        return false;
    }
    MessageBoxes::critical(QStringLiteral("错误"), text);
    return false;
}
