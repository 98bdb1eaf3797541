#include "userdatabase.h"

#include "app/appcontext.h"

namespace {

const char *const createUserTable = "CREATE TABLE User(uid INTEGER PRIMARY KEY AUTOINCREMENT NOT "
                                    "NULL,name VARCHAR NOT NULL UNIQUE,password VARCHAR);";

const char *const insertUser = "INSERT INTO User(name,password) VALUES(%Q,%Q)";

} // namespace

UserDatabase::UserDatabase(const std::string &path) : ZirconDatabase(path, createUserTable) {}

int UserDatabase::addUser(const std::string &name, const std::string &password)
{
    return runFormatted(insertUser, name.c_str(), password.c_str());
}

int UserDatabase::createDatabase(int kind)
{
    if (kind != UserDb)
        return 0;
    return create() == 0 ? 0 : -1;
}

void UserDatabase::tableCreated()
{
    runFormattedLocked(insertUser, "admin", "");
}
