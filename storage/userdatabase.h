#ifndef USERDATABASE_H
#define USERDATABASE_H

#include "storage/zircondatabase.h"

#include <string>
#include <vector>

// The account file user/user.zdb: table User (uid, unique name, password, role), the trail of
// sign-ins and maintenance commands in table Audit, and the sign-in lock-out in table SignInGuard.
// A new file holds one account, "admin" with an empty password, only when the owner allowed it
// (setDefaultAccount); otherwise it holds none. Every call runs a statement: call it off the
// interface thread.
class UserDatabase : public ZirconDatabase
{
public:
    // Stored in User.role. Rights fail closed: any other text, an empty one and none at all are
    // an operator. The accounts made before roles existed are given "admin" once, when the
    // file is first opened with roles (see opened()), so that no plant is locked out.
    static constexpr const char *administratorRole = "admin";
    static constexpr const char *operatorRole = "operator";

    struct Account
    {
        long long uid = 0;
        std::string name;
        // A PasswordHash text, or plain text in rows not yet upgraded.
        std::string password;
        std::string role;
        bool isAdministrator() const { return isAdministratorRole(role); }
    };

    struct AuditRow
    {
        long long id = 0;
        // "yyyy-MM-dd hh:mm:ss"
        std::string time;
        std::string user;
        std::string action;
        std::string detail;
    };

    explicit UserDatabase(const std::string &path);

    static bool isAdministratorRole(const std::string &role);

    // Whether a file made from here on (missing, empty or without tables when opened) gets the
    // default account. Off until set: an account nobody chose grants nothing by default.
    void setDefaultAccount(bool allowed) { defaultAccount = allowed; }

    // The run result; a name already taken fails. The row has no role: an operator.
    int addUser(const std::string &name, const std::string &password);
    int addUser(const std::string &name, const std::string &password, const std::string &role);
    // Kind UserDb only: replaces the file by a new one, holding the default account when allowed.
    // 0, or -1 when the file cannot be made; other kinds return 0.
    int createDatabase(int kind);

    // 0 with *found telling whether the account exists (and *account filled when it does).
    int findUser(const std::string &name, Account *account, bool *found);
    // 0 with *changed telling whether the account existed.
    int setPassword(const std::string &name, const std::string &password, bool *changed);
    // 0 with *changed telling whether the account existed.
    int deleteUser(const std::string &name, bool *changed);
    int countAdministrators(long *count);
    int countUsers(long *count);
    // 0 with *changed telling whether the account existed.
    int setRole(const std::string &name, const std::string &role, bool *changed);
    // Every account, by name.
    int listUsers(std::vector<Account> *accounts);

    int appendAudit(const std::string &time, const std::string &user, const std::string &action,
                    const std::string &detail);
    // Rows whose time lies in from..to (inclusive, texts of the stored form; an empty bound is
    // open), newest first, at most limit of them (0: all).
    int listAudit(const std::string &from, const std::string &to, int limit,
                  std::vector<AuditRow> *rows);

    // The failed sign-ins in a row and the end of the lock-out (ms since the epoch, 0: none);
    // both 0 in a file that has no row yet.
    int readSignInGuard(int *failures, long long *lockedUntil);
    int writeSignInGuard(int failures, long long lockedUntil);

protected:
    // Adds what files made before accounts lack: the role column and the Audit table. Rows
    // without a role then become administrators, once: under the rule of the build that
    // wrote them they were.
    void opened() override;
    void tableCreated() override;

private:
    int changesLocked(bool *changed);
    // The one-time role migration, in one transaction.
    void grantRolesLocked();

    bool defaultAccount = false;
};

#endif // USERDATABASE_H
