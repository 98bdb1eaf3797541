#include "passwdcommand.h"

#include "app/accountfile.h"
#include "app/appcontext.h"
#include "storage/accounts.h"
#include "storage/userdatabase.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <termios.h>
#include <unistd.h>

namespace {

void say(const QString &text)
{
    std::fprintf(stderr, "hydrovane: %s\n", text.toUtf8().constData());
}

QString userName(uid_t uid)
{
    const passwd *entry = ::getpwuid(uid);
    return entry ? QString::fromLocal8Bit(entry->pw_name) : QString::number(uid);
}

// The new password from standard input; a terminal does not show what is typed.
bool readSecretLine(std::string *line)
{
    termios saved;
    const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        std::fputs("新密码: ", stderr);
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool read = PasswdCommand::readLine(stdin, line, size_t(Accounts::maxPasswordBytes));
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputs("\n", stderr);
    }
    return read;
}

} // namespace

bool PasswdCommand::mayChange(uid_t euid, uid_t owner)
{
    return euid == 0 || euid == owner;
}

QString PasswdCommand::systemUser()
{
    const uid_t uid = ::getuid();
    QString who = userName(uid);
    if (uid == 0) {
        // Only root's own environment is believed: anybody else could set SUDO_USER.
        const QString sudo = qEnvironmentVariable("SUDO_USER");
        if (!sudo.isEmpty()) {
            who = sudo + QStringLiteral("(sudo)");
        } else if (const char *login = ::getlogin()) {
            const QString name = QString::fromLocal8Bit(login);
            if (!name.isEmpty() && name != who)
                who += QStringLiteral("(登录用户 %1)").arg(name);
        }
    }
    return QStringLiteral("系统用户 ") + who;
}

bool PasswdCommand::readLine(std::FILE *in, std::string *line, size_t maxBytes)
{
    line->clear();
    bool any = false;
    size_t length = 0;
    for (int c; (c = std::fgetc(in)) != EOF;) {
        any = true;
        if (c == '\n')
            break;
        ++length;
        // Beyond the limit and a line end's CR the rest is not kept: the line is refused anyway.
        if (line->size() < maxBytes + 2)
            line->push_back(char(c));
    }
    if (length == line->size() && !line->empty() && line->back() == '\r')
        line->pop_back();
    return any;
}

int PasswdCommand::run(const QStringList &arguments)
{
    QStringList names;
    bool makeAdministrator = false;
    for (int i = 2; i < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("--admin"))
            makeAdministrator = true;
        else
            names << arguments.at(i);
    }
    if (arguments.value(1) != QLatin1String("--passwd") || names.size() != 1) {
        std::fputs("用法: hydrovane [--station 文件夹] --passwd 用户名 [--admin]"
                   "  (从标准输入读取新密码)\n",
                   stderr);
        return Usage;
    }
    const QString name = names.first();
    if (name.trimmed().isEmpty()) {
        say(QStringLiteral("用户名不能为空，未作任何修改。"));
        return Refused;
    }

    // Before anything is read or made: the group's members may write the shared folder, but
    // only its owner (or root) hands out the keys to it.
    AppContext &context = AppContext::instance();
    const QString station = context.applicationDir();
    struct stat info;
    if (::stat(QFile::encodeName(station).constData(), &info) != 0) {
        say(QStringLiteral("无法读取监测站文件夹 %1，未作任何修改。")
                .arg(QDir::toNativeSeparators(station)));
        return Refused;
    }
    if (!mayChange(::geteuid(), info.st_uid)) {
        say(QStringLiteral("监测站文件夹 %1 属于用户 %2，只有其所有者或 root 可以设置密码。\n"
                           "请以 root 身份执行：sudo hydrovane --passwd %3")
                .arg(QDir::toNativeSeparators(station), userName(info.st_uid), name));
        ::openlog("hydrovane", LOG_PID, LOG_AUTHPRIV);
        ::syslog(LOG_WARNING, "--passwd %s refused to %s in %s: not the folder's owner",
                 name.toUtf8().constData(), systemUser().toUtf8().constData(),
                 QFile::encodeName(station).constData());
        ::closelog();
        return Refused;
    }

    std::string line;
    if (!readSecretLine(&line)) {
        say(QStringLiteral("没有读到新密码，未作任何修改。"));
        return Refused;
    }
    const QString password = QString::fromUtf8(line.data(), int(line.size()));
    // Checked on the bytes read: a NUL or an invalid sequence must not pass as another text.
    if (line.size() > size_t(Accounts::maxPasswordBytes) || line.find('\0') != std::string::npos ||
        password.toUtf8() != QByteArray(line.data(), int(line.size()))) {
        say(QStringLiteral("新密码不能超过 %1 字节，不能含空字符，且须为 UTF-8 文本；"
                           "未作任何修改。")
                .arg(Accounts::maxPasswordBytes));
        return Refused;
    }
    if (password.isEmpty()) {
        say(QStringLiteral("新密码不能为空，未作任何修改。"));
        return Refused;
    }

    const QString file = context.path(UserDb);
    QDir().mkpath(QFileInfo(file).path());
    UserDatabase users(file.toUtf8().toStdString());
    // The account named is the one made: never the default admin beside it.
    users.setDefaultAccount(false);
    users.openOrCreate();
    int change = Accounts::PasswordSet;
    const int result =
        Accounts::resetPassword(&users, name, password, makeAdministrator, systemUser(), &change);
    users.close();
    if (result != Accounts::Ok) {
        Accounts::Reply reply;
        reply.result = result;
        say(reply.text() + QLatin1Char('\n') + QDir::toNativeSeparators(file));
        return Refused;
    }
    AccountFile::mark(station);
    // The caller's terminal keeps nothing: the system log, which the station's group cannot
    // edit, holds the change beside user.zdb.
    static const char *const changes[] = {"password set", "administrator created",
                                          "made administrator", "password set, not administrator"};
    ::openlog("hydrovane", LOG_PID, LOG_AUTHPRIV);
    ::syslog(LOG_NOTICE, "--passwd %s by %s in %s: %s", name.toUtf8().constData(),
             systemUser().toUtf8().constData(), QFile::encodeName(station).constData(),
             changes[change]);
    ::closelog();
    switch (change) {
    case Accounts::AccountCreated:
        say(QStringLiteral("已创建管理员 %1 并设置密码。").arg(name));
        break;
    case Accounts::MadeAdministrator:
        say(QStringLiteral("已重设 %1 的密码，并将其设为管理员。").arg(name));
        break;
    case Accounts::NotAnAdministrator:
        say(QStringLiteral("已重设 %1 的密码。注意：%1 不是管理员，仍为操作员；"
                           "如需设为管理员，请执行 hydrovane --passwd %1 --admin")
                .arg(name));
        break;
    default:
        say(QStringLiteral("已重设 %1 的密码。").arg(name));
        break;
    }
    return Ok;
}
