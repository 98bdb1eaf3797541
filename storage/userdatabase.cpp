#include "userdatabase.h"

#include "app/appcontext.h"

#include <cstdlib>
#include <cstring>

namespace {

const char *const createUserTable = "CREATE TABLE User(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT "
                                    "NULL,name VARCHAR NOT NULL UNIQUE,password VARCHAR);";

const char *const createAuditTable =
    "CREATE TABLE IF NOT EXISTS Audit(id INTEGER PRIMARY KEY AUTOINCREMENT,time VARCHAR,"
    "user VARCHAR,action VARCHAR,detail VARCHAR);";

// One row (id 1): the lock-out outlives the program, so that a restart gives no more tries.
const char *const createSignInGuardTable =
    "CREATE TABLE IF NOT EXISTS SignInGuard(id INTEGER PRIMARY KEY,failures INTEGER NOT NULL,"
    "lockedUntil INTEGER NOT NULL);";

const char *const insertUser = "INSERT INTO User(name,password) VALUES(%Q,%Q)";
const char *const insertUserWithRole = "INSERT INTO User(name,password,role) VALUES(%Q,%Q,%Q)";

// The same test as isAdministratorRole, in SQL.
const char *const administratorCondition = "role='admin'";

// PRAGMA user_version of a file whose roles fail closed. Files below it were written when an
// empty role meant an administrator.
const long rolesFailClosed = 1;

std::string text(const char *value)
{
    return value ? std::string(value) : std::string();
}

int readAccount(void *user, int columns, char **texts)
{
    if (columns < 4)
        return 1;
    UserDatabase::Account account;
    account.uid = std::strtoll(texts[0] ? texts[0] : "0", nullptr, 10);
    account.name = text(texts[1]);
    account.password = text(texts[2]);
    account.role = text(texts[3]);
    static_cast<std::vector<UserDatabase::Account> *>(user)->push_back(account);
    return 0;
}

int readAuditRow(void *user, int columns, char **texts)
{
    if (columns < 5)
        return 1;
    UserDatabase::AuditRow row;
    row.id = std::strtoll(texts[0] ? texts[0] : "0", nullptr, 10);
    row.time = text(texts[1]);
    row.user = text(texts[2]);
    row.action = text(texts[3]);
    row.detail = text(texts[4]);
    static_cast<std::vector<UserDatabase::AuditRow> *>(user)->push_back(row);
    return 0;
}

int readLong(void *user, int columns, char **texts)
{
    if (columns > 0 && texts[0])
        *static_cast<long *>(user) = std::strtol(texts[0], nullptr, 10);
    return 0;
}

int readSignInRow(void *user, int columns, char **texts)
{
    auto *values = static_cast<long long *>(user);
    for (int i = 0; i < 2 && i < columns; ++i)
        values[i] = texts[i] ? std::strtoll(texts[i], nullptr, 10) : 0;
    return 0;
}

int findRoleColumn(void *user, int columns, char **texts)
{
    // PRAGMA table_info: cid, name, type, ...
    if (columns > 1 && texts[1] && std::strcmp(texts[1], "role") == 0)
        *static_cast<bool *>(user) = true;
    return 0;
}

} // namespace

UserDatabase::UserDatabase(const std::string &path) : ZirconDatabase(path, createUserTable) {}

bool UserDatabase::isAdministratorRole(const std::string &role)
{
    return role == administratorRole;
}

int UserDatabase::addUser(const std::string &name, const std::string &password)
{
    return runFormatted(insertUser, name.c_str(), password.c_str());
}

int UserDatabase::addUser(const std::string &name, const std::string &password,
                          const std::string &role)
{
    return runFormatted(insertUserWithRole, name.c_str(), password.c_str(), role.c_str());
}

int UserDatabase::createDatabase(int kind)
{
    if (kind != UserDb)
        return 0;
    return create() == 0 ? 0 : -1;
}

int UserDatabase::findUser(const std::string &name, Account *account, bool *found)
{
    *found = false;
    std::vector<Account> rows;
    char *sql = zircon_create_sql("SELECT uid,name,password,role FROM User WHERE name=%Q",
                                  name.c_str());
    const int rc = run(sql, &rows, readAccount);
    zircon_destroy_sql(sql);
    if (rc == 0 && !rows.empty()) {
        *found = true;
        *account = rows.front();
    }
    return rc;
}

int UserDatabase::setPassword(const std::string &name, const std::string &password,
                              bool *changed)
{
    *changed = false;
    auto locked = lock();
    const int rc =
        runFormattedLocked("UPDATE User SET password=%Q WHERE name=%Q", password.c_str(),
                           name.c_str());
    return rc != 0 ? rc : changesLocked(changed);
}

int UserDatabase::deleteUser(const std::string &name, bool *changed)
{
    *changed = false;
    auto locked = lock();
    const int rc = runFormattedLocked("DELETE FROM User WHERE name=%Q", name.c_str());
    return rc != 0 ? rc : changesLocked(changed);
}

int UserDatabase::countAdministrators(long *count)
{
    *count = 0;
    const std::string sql =
        std::string("SELECT count(*) FROM User WHERE ") + administratorCondition;
    return run(sql.c_str(), count, readLong);
}

int UserDatabase::countUsers(long *count)
{
    *count = 0;
    return run("SELECT count(*) FROM User", count, readLong);
}

int UserDatabase::setRole(const std::string &name, const std::string &role, bool *changed)
{
    *changed = false;
    auto locked = lock();
    const int rc =
        runFormattedLocked("UPDATE User SET role=%Q WHERE name=%Q", role.c_str(), name.c_str());
    return rc != 0 ? rc : changesLocked(changed);
}

int UserDatabase::listUsers(std::vector<Account> *accounts)
{
    accounts->clear();
    return run("SELECT uid,name,password,role FROM User ORDER BY name", accounts, readAccount);
}

int UserDatabase::appendAudit(const std::string &time, const std::string &user,
                              const std::string &action, const std::string &detail)
{
    return runFormatted("INSERT INTO Audit(time,user,action,detail) VALUES(%Q,%Q,%Q,%Q)",
                        time.c_str(), user.c_str(), action.c_str(), detail.c_str());
}

int UserDatabase::listAudit(const std::string &from, const std::string &to, int limit,
                            std::vector<AuditRow> *rows)
{
    rows->clear();
    // An open bound compares with a text every stored time passes.
    const std::string upper = to.empty() ? std::string("\x7f") : to;
    char *sql = zircon_create_sql("SELECT id,time,user,action,detail FROM Audit WHERE "
                                  "time>=%Q AND time<=%Q ORDER BY time DESC,id DESC LIMIT %d",
                                  from.c_str(), upper.c_str(), limit > 0 ? limit : -1);
    const int rc = run(sql, rows, readAuditRow);
    zircon_destroy_sql(sql);
    return rc;
}

int UserDatabase::readSignInGuard(int *failures, long long *lockedUntil)
{
    long long values[2] = {0, 0};
    const int rc =
        run("SELECT failures,lockedUntil FROM SignInGuard WHERE id=1", values, readSignInRow);
    *failures = int(values[0]);
    *lockedUntil = values[1];
    return rc;
}

int UserDatabase::writeSignInGuard(int failures, long long lockedUntil)
{
    return runFormatted("INSERT OR REPLACE INTO SignInGuard(id,failures,lockedUntil) "
                        "VALUES(1,%d,%lld)",
                        failures, lockedUntil);
}

void UserDatabase::opened()
{
    grantRolesLocked();
    runLocked(createAuditTable);
    runLocked(createSignInGuardTable);
}

void UserDatabase::tableCreated()
{
    // A fresh table may come before or after opened(); the migration finds nothing to grant.
    grantRolesLocked();
    if (defaultAccount)
        runFormattedLocked(insertUserWithRole, "admin", "", administratorRole);
}

void UserDatabase::grantRolesLocked()
{
    long version = 0;
    if (runLocked("PRAGMA user_version", &version, readLong) != 0 || version >= rolesFailClosed)
        return;
    // One transaction: the rows are granted exactly when the file is marked as migrated.
    if (runLocked("BEGIN IMMEDIATE") != 0)
        return;
    bool hasRole = false;
    int rc = runLocked("PRAGMA table_info(User)", &hasRole, findRoleColumn);
    // Only added: a build without accounts still reads the three columns it knows.
    if (rc == 0 && !hasRole)
        rc = runLocked("ALTER TABLE User ADD COLUMN role VARCHAR");
    // Also files that have the column but were written while no role meant an administrator.
    if (rc == 0)
        rc = runLocked("UPDATE User SET role='admin' WHERE role IS NULL OR role=''");
    if (rc == 0)
        rc = runFormattedLocked("PRAGMA user_version = %d", int(rolesFailClosed));
    runLocked(rc == 0 ? "COMMIT" : "ROLLBACK");
}

int UserDatabase::changesLocked(bool *changed)
{
    long count = 0;
    const int rc = runLocked("SELECT changes()", &count, readLong);
    *changed = rc == 0 && count > 0;
    return rc;
}
