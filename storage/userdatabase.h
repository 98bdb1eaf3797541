#ifndef USERDATABASE_H
#define USERDATABASE_H

#include "storage/zircondatabase.h"

#include <string>

// The account file user/user.zdb with its table User (uid, unique name, password).
// A new file holds one account: "admin" with an empty password.
class UserDatabase : public ZirconDatabase
{
public:
    explicit UserDatabase(const std::string &path);

    // The run result; a name already taken fails.
    int addUser(const std::string &name, const std::string &password);
    // Kind UserDb only: replaces the file by a new one holding the default account.
    // 0, or -1 when the file cannot be made; other kinds return 0.
    int createDatabase(int kind);

protected:
    void tableCreated() override;
};

#endif // USERDATABASE_H
