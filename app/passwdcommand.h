#ifndef PASSWDCOMMAND_H
#define PASSWDCOMMAND_H

#include <QString>
#include <QStringList>

#include <sys/types.h>

#include <cstdio>
#include <string>

// hydrovane --passwd NAME [--admin]: the way back in for an administrator who forgot the
// password, reading the new one from standard input. It may set passwords and make
// administrators, so on a folder its caller does not own (the packaged folder, shared by the
// station group) it needs root. Its trail row names the system user who ran it.
class PasswdCommand
{
public:
    enum Result
    {
        Ok = 0,
        Refused = 1,
        Usage = 2,
    };

    // Runs the command on the registry's station folder; arguments as main() got them, the
    // station options taken out. A QCoreApplication must exist.
    static int run(const QStringList &arguments);

    // Whether a process with effective user euid may change the accounts of the folder owned by
    // owner: its owner and root may.
    static bool mayChange(uid_t euid, uid_t owner);
    // Who ran the command, for the trail: "系统用户 NAME", with "(sudo)" when root was reached
    // through sudo by NAME, or the login name beside root's.
    static QString systemUser();
    // One line of the new password from in, without its line end: false when the input ends
    // first. At most maxBytes + 2 bytes are kept: a longer line stays longer than maxBytes
    // without being read into memory whole.
    static bool readLine(std::FILE *in, std::string *line, size_t maxBytes);
};

#endif // PASSWDCOMMAND_H
