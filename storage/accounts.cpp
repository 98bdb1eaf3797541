#include "accounts.h"

#include "acquisition/threadhandoff.h"
#include "app/appcontext.h"
#include "storage/passwordhash.h"
#include "storage/recordingstatus.h"
#include "storage/recordsink.h"
#include "storage/userdatabase.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>

#include <sqlite3.h>

namespace {

const char *const timeFormat = "yyyy-MM-dd hh:mm:ss";

// Compared against for a name that does not exist, so that a wrong name takes as long as a
// wrong password and does not show which names exist.
const std::string &decoyHash()
{
    static const std::string hash = PasswordHash::make("decoy");
    return hash;
}

std::string utf8(const QString &text)
{
    return text.toUtf8().toStdString();
}

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

int roleOf(const UserDatabase::Account &account)
{
    return account.isAdministrator() ? Accounts::Administrator : Accounts::Operator;
}

// One trail row as a line of the log, in the JSON the broker gets: no name can forge a line.
void logTrailRow(const std::string &time, const std::string &user, const std::string &action,
                 const std::string &detail)
{
    QJsonObject row;
    row.insert(QStringLiteral("time"), fromUtf8(time));
    row.insert(QStringLiteral("user"), fromUtf8(user));
    row.insert(QStringLiteral("action"), fromUtf8(action));
    row.insert(QStringLiteral("detail"), fromUtf8(detail));
    qInfo("hydrovane: 操作记录 %s", QJsonDocument(row).toJson(QJsonDocument::Compact).constData());
}

bool isInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::TouchBegin:
        return true;
    default:
        return false;
    }
}

} // namespace

QString Accounts::Reply::text() const
{
    switch (result) {
    case Ok:
        return QString();
    case WrongPassword:
        return QStringLiteral("用户名或密码错误。");
    case Locked:
        return QStringLiteral("登录失败次数过多，请 %1 秒后再试。").arg(secondsLeft);
    case MustSetPassword:
        return QStringLiteral("该账户尚未设置密码，请先设置密码。");
    case Unavailable:
        return QStringLiteral("用户数据库无法打开，账户功能不可用。");
    case NotSignedIn:
        return QStringLiteral("请先登录。");
    case NotAdministrator:
        return QStringLiteral("此操作需要管理员权限。");
    case EmptyName:
        return QStringLiteral("用户名不能为空。");
    case EmptyPassword:
        return QStringLiteral("密码不能为空。");
    case NameTaken:
        return QStringLiteral("用户名已存在。");
    case NoSuchUser:
        return QStringLiteral("用户不存在。");
    case LastAdministrator:
        return QStringLiteral("不能删除最后一个管理员。");
    case OwnAccount:
        return QStringLiteral("不能删除当前登录的用户。");
    case NoAccounts:
        return QStringLiteral("用户数据库中没有任何账户，登录已锁定。\n"
                              "请在命令行设置管理员：hydrovane --passwd admin\n"
                              "（共享的监测站文件夹须以 root 身份执行，例如 "
                              "sudo hydrovane --passwd admin）。");
    case UnusablePassword:
        return QStringLiteral("密码不能超过 %1 字节，也不能含空字符。").arg(maxPasswordBytes);
    default:
        return QStringLiteral("用户数据库读写失败。");
    }
}

Accounts &Accounts::instance()
{
    static Accounts accounts;
    return accounts;
}

Accounts::Accounts(UserDatabase *database, QObject *parent)
    : QObject(parent), fixedDatabase(database)
{
    // One job at a time: the lock-out counts and the trail keep the order of the attempts.
    worker.setMaxThreadCount(1);
    idleTimer.setSingleShot(true);
    connect(&idleTimer, &QTimer::timeout, this, &Accounts::checkIdle);
    trailTimer.setInterval(trailRetryMs);
    connect(&trailTimer, &QTimer::timeout, this, &Accounts::retryTrail);
    if (QCoreApplication *application = QCoreApplication::instance()) {
        application->installEventFilter(this);
        // The timers must not outlive the event loop they are registered with.
        connect(application, &QCoreApplication::aboutToQuit, &idleTimer, &QTimer::stop);
        connect(application, &QCoreApplication::aboutToQuit, &trailTimer, &QTimer::stop);
    }
}

Accounts::~Accounts()
{
    worker.waitForDone();
    // Each row went to the log when it was made; the file is what misses them.
    if (!heldTrail.empty())
        qWarning("hydrovane: %d 条操作记录未能写入用户数据库，只保留在日志中",
                 int(heldTrail.size()));
}

bool Accounts::isAvailable() const
{
    UserDatabase *users = database();
    return users && users->isOpen();
}

QString Accounts::auditName() const
{
    return isSignedIn() ? currentName : QStringLiteral("未登录");
}

QString Accounts::roleText(int role)
{
    return role == Administrator ? QStringLiteral("管理员") : QStringLiteral("操作员");
}

QString Accounts::unknownUser()
{
    return QStringLiteral("未知用户");
}

int Accounts::passwordRefusal(const QString &password)
{
    if (password.isEmpty())
        return EmptyPassword;
    // The hash takes bytes: a NUL would end the password early for any C string on the way.
    if (password.contains(QChar(0)) || password.toUtf8().size() > maxPasswordBytes)
        return UnusablePassword;
    return Ok;
}

void Accounts::signIn(const QString &name, const QString &password, QObject *context, Done done)
{
    const Context guard(context);
    post([=] {
        int role = Operator;
        const Reply reply = signInJob(name, password, nullptr, &role);
        deliver(guard, [=] {
            if (reply.result == Ok)
                signedIn(name, role);
            if (done)
                done(reply);
        });
    });
}

void Accounts::signInSettingPassword(const QString &name, const QString &password,
                                     const QString &newPassword, QObject *context, Done done)
{
    const Context guard(context);
    post([=] {
        int role = Operator;
        Reply reply;
        reply.result = passwordRefusal(newPassword);
        if (reply.result == Ok)
            reply = signInJob(name, password, &newPassword, &role);
        deliver(guard, [=] {
            if (reply.result == Ok)
                signedIn(name, role);
            if (done)
                done(reply);
        });
    });
}

Accounts::Reply Accounts::signInJob(const QString &name, const QString &password,
                                    const QString *newPassword, int *role)
{
    Reply reply;
    UserDatabase *users = database();
    if (!users || !users->isOpen()) {
        reply.result = Unavailable;
        return reply;
    }
    loadSignInGuard(users);
    const qint64 time = now();
    // A lock-out that ends further ahead than its length was set before the clock went back.
    if (lockedUntil > time + lockSeconds * 1000) {
        lockedUntil = time + lockSeconds * 1000;
        storeSignInGuard(users);
    }
    if (lockedUntil != 0 && time >= lockedUntil) {
        lockedUntil = 0;
        failures = 0;
        storeSignInGuard(users);
    }
    if (lockedUntil != 0) {
        reply.result = Locked;
        reply.secondsLeft = int((lockedUntil - time + 999) / 1000);
        return reply;
    }

    long accounts = 0;
    if (users->countUsers(&accounts) != 0) {
        reply.result = Failed;
        return reply;
    }
    if (accounts == 0) {
        // Nothing to guess at: no attempt is counted.
        reply.result = NoAccounts;
        return reply;
    }

    const std::string storedName = utf8(name);
    UserDatabase::Account account;
    bool found = false;
    if (users->findUser(storedName, &account, &found) != 0) {
        reply.result = Failed;
        return reply;
    }
    const std::string given = utf8(password);
    bool right = false;
    if (found)
        right = PasswordHash::verify(given, account.password);
    else
        PasswordHash::verify(given, decoyHash());
    if (!right) {
        reply.result = WrongPassword;
        QString detail = QStringLiteral("用户名或密码错误");
        if (++failures >= maxFailures) {
            lockedUntil = time + lockSeconds * 1000;
            reply.result = Locked;
            reply.secondsLeft = lockSeconds;
            detail += QStringLiteral("，连续失败 %1 次，登录锁定 %2 秒")
                          .arg(maxFailures)
                          .arg(lockSeconds);
        }
        storeSignInGuard(users);
        // A name that is no account may be a password typed into the wrong field.
        writeAudit(found ? name : unknownUser(), QStringLiteral("登录失败"), detail);
        return reply;
    }
    if (failures != 0) {
        failures = 0;
        storeSignInGuard(users);
    }

    const std::string newText = newPassword ? utf8(*newPassword) : given;
    if (newText.empty()) {
        reply.result = MustSetPassword;
        return reply;
    }
    // Rows from before hashes are upgraded at their first sign-in.
    if (newPassword || !PasswordHash::isHash(account.password)) {
        const std::string hash = PasswordHash::make(newText);
        bool changed = false;
        if (hash.empty() || users->setPassword(storedName, hash, &changed) != 0 || !changed) {
            reply.result = Failed;
            return reply;
        }
    }
    *role = roleOf(account);
    writeAudit(name, QStringLiteral("登录"), roleText(*role));
    if (newPassword)
        writeAudit(name, QStringLiteral("修改密码"), QStringLiteral("首次登录设置密码"));
    return reply;
}

void Accounts::signedIn(const QString &name, int role)
{
    currentName = name;
    currentRole = role;
    lastInput = now();
    if (role == Administrator)
        idleTimer.start(idleTimeoutMs);
    else
        idleTimer.stop();
    emit signal_userChanged();
}

void Accounts::signOut()
{
    if (!isSignedIn())
        return;
    const QString name = currentName;
    currentName.clear();
    currentRole = Operator;
    idleTimer.stop();
    const QString time = timeText();
    post([=] { writeAudit(name, QStringLiteral("注销"), QString(), time); });
    emit signal_userChanged();
}

void Accounts::changePassword(const QString &oldPassword, const QString &newPassword,
                              QObject *context, Done done)
{
    const Context guard(context);
    const QString name = currentName;
    post([=] {
        Reply reply;
        UserDatabase *users = database();
        UserDatabase::Account account;
        bool found = false;
        bool changed = false;
        if (!users || !users->isOpen())
            reply.result = Unavailable;
        else if (name.isEmpty())
            reply.result = NotSignedIn;
        else if (passwordRefusal(newPassword) != Ok)
            reply.result = passwordRefusal(newPassword);
        else if (users->findUser(utf8(name), &account, &found) != 0)
            reply.result = Failed;
        else if (!found)
            reply.result = NoSuchUser;
        else if (!PasswordHash::verify(utf8(oldPassword), account.password))
            reply.result = WrongPassword;
        else {
            const std::string hash = PasswordHash::make(utf8(newPassword));
            if (hash.empty() || users->setPassword(utf8(name), hash, &changed) != 0 || !changed)
                reply.result = Failed;
            else
                writeAudit(name, QStringLiteral("修改密码"), QString());
        }
        deliver(guard, [=] {
            if (done)
                done(reply);
        });
    });
}

void Accounts::addUser(const QString &name, const QString &password, int role,
                       QObject *context, Done done)
{
    const Context guard(context);
    const QString self = currentName;
    post([=] {
        Reply reply;
        reply.result = addUserJob(self, name, password, role);
        deliver(guard, [=] {
            if (done)
                done(reply);
        });
    });
}

int Accounts::addUserJob(const QString &self, const QString &name, const QString &password,
                         int role)
{
    UserDatabase *users = database();
    const int allowed = administratorCheck(users, self);
    if (allowed != Ok)
        return allowed;
    if (name.trimmed().isEmpty())
        return EmptyName;
    if (const int refusal = passwordRefusal(password))
        return refusal;
    UserDatabase::Account account;
    bool found = false;
    if (users->findUser(utf8(name), &account, &found) != 0)
        return Failed;
    if (found)
        return NameTaken;
    const std::string hash = PasswordHash::make(utf8(password));
    const char *stored =
        role == Administrator ? UserDatabase::administratorRole : UserDatabase::operatorRole;
    if (hash.empty() || users->addUser(utf8(name), hash, stored) != 0)
        return Failed;
    writeAudit(self, QStringLiteral("添加用户"),
               QStringLiteral("%1（%2）").arg(name, roleText(role)));
    return Ok;
}

void Accounts::deleteUser(const QString &name, QObject *context, Done done)
{
    const Context guard(context);
    const QString self = currentName;
    post([=] {
        Reply reply;
        reply.result = deleteUserJob(self, name);
        deliver(guard, [=] {
            if (done)
                done(reply);
        });
    });
}

int Accounts::deleteUserJob(const QString &self, const QString &name)
{
    UserDatabase *users = database();
    const int allowed = administratorCheck(users, self);
    if (allowed != Ok)
        return allowed;
    if (name == self)
        return OwnAccount;
    UserDatabase::Account account;
    bool found = false;
    if (users->findUser(utf8(name), &account, &found) != 0)
        return Failed;
    if (!found)
        return NoSuchUser;
    if (account.isAdministrator()) {
        long administrators = 0;
        if (users->countAdministrators(&administrators) != 0)
            return Failed;
        if (administrators <= 1)
            return LastAdministrator;
    }
    bool changed = false;
    if (users->deleteUser(utf8(name), &changed) != 0 || !changed)
        return Failed;
    writeAudit(self, QStringLiteral("删除用户"),
               QStringLiteral("%1（%2）").arg(name, roleText(roleOf(account))));
    return Ok;
}

void Accounts::listUsers(QObject *context,
                         std::function<void(int result, const QVector<User> &)> done)
{
    const Context guard(context);
    post([=] {
        UserDatabase *users = database();
        std::vector<UserDatabase::Account> accounts;
        int result = Ok;
        if (!users || !users->isOpen())
            result = Unavailable;
        else if (users->listUsers(&accounts) != 0)
            result = Failed;
        QVector<User> list;
        if (result == Ok)
            for (const auto &account : accounts)
                list.append(User{fromUtf8(account.name), roleOf(account)});
        deliver(guard, [=] {
            if (done)
                done(result, list);
        });
    });
}

void Accounts::audit(const QString &action, const QString &detail)
{
    // Who and when as the command ran, whenever the worker gets to the row.
    const QString name = auditName();
    const QString time = timeText();
    post([=] { writeAudit(name, action, detail, time); });
}

Accounts::TrailStatus Accounts::trailStatus() const
{
    std::lock_guard<std::mutex> locked(trailMutex);
    return trail;
}

void Accounts::retryTrail()
{
    post([this] { flushTrail(); });
}

void Accounts::listAudit(const QDateTime &from, const QDateTime &to, int limit,
                         QObject *context,
                         std::function<void(int result, const QVector<AuditEntry> &)> done)
{
    const Context guard(context);
    const QString format = QLatin1String(timeFormat);
    const std::string lower = from.isValid() ? utf8(from.toString(format)) : std::string();
    const std::string upper = to.isValid() ? utf8(to.toString(format)) : std::string();
    post([=] {
        UserDatabase *users = database();
        std::vector<UserDatabase::AuditRow> rows;
        int result = Ok;
        if (!users || !users->isOpen())
            result = Unavailable;
        else if (users->listAudit(lower, upper, limit, &rows) != 0)
            result = Failed;
        QVector<AuditEntry> entries;
        if (result == Ok) {
            entries.reserve(int(rows.size()));
            for (const auto &row : rows)
                entries.append(AuditEntry{row.id, fromUtf8(row.time), fromUtf8(row.user),
                                          fromUtf8(row.action), fromUtf8(row.detail)});
        }
        deliver(guard, [=] {
            if (done)
                done(result, entries);
        });
    });
}

void Accounts::setIdleTimeout(int ms)
{
    idleTimeoutMs = qMax(1, ms);
    if (idleTimer.isActive())
        checkIdle();
}

void Accounts::setClock(std::function<qint64()> msecsSinceEpoch)
{
    std::lock_guard<std::mutex> locked(clockMutex);
    clock = std::move(msecsSinceEpoch);
}

void Accounts::waitForJobs()
{
    worker.waitForDone();
    ThreadHandOff::acquire();
}

int Accounts::resetPassword(UserDatabase *database, const QString &name, const QString &password,
                            bool makeAdministrator, const QString &systemUser, int *change)
{
    *change = PasswordSet;
    if (name.trimmed().isEmpty())
        return EmptyName;
    if (const int refusal = passwordRefusal(password))
        return refusal;
    if (!database || !database->isOpen())
        return Unavailable;
    UserDatabase::Account account;
    bool found = false;
    if (database->findUser(utf8(name), &account, &found) != 0)
        return Failed;
    const std::string hash = PasswordHash::make(utf8(password));
    if (hash.empty())
        return Failed;
    bool changed = false;
    if (!found) {
        if (database->addUser(utf8(name), hash, UserDatabase::administratorRole) != 0)
            return Failed;
        *change = AccountCreated;
    } else {
        if (database->setPassword(utf8(name), hash, &changed) != 0 || !changed)
            return Failed;
        if (!account.isAdministrator()) {
            *change = NotAnAdministrator;
            if (makeAdministrator) {
                if (database->setRole(utf8(name), UserDatabase::administratorRole, &changed) != 0 ||
                    !changed)
                    return Failed;
                *change = MadeAdministrator;
            }
        }
    }
    const std::string time = utf8(QDateTime::currentDateTime().toString(QLatin1String(timeFormat)));
    QString detail = QStringLiteral("账户 %1,命令行 --passwd").arg(name);
    if (*change == AccountCreated)
        detail += QStringLiteral(",新建管理员");
    else if (*change == MadeAdministrator)
        detail += QStringLiteral(",设为管理员");
    else if (*change == NotAnAdministrator)
        detail += QStringLiteral(",仍为操作员");
    // Under the system user who ran it: nobody signed in to do it, and the account may be the
    // very one that was taken over.
    const std::string user = utf8(systemUser);
    const std::string action = utf8(QStringLiteral("重置密码"));
    logTrailRow(time, user, action, utf8(detail));
    const int written = database->appendAudit(time, user, action, utf8(detail));
    if (written != 0)
        qWarning("hydrovane: 操作记录未能写入用户数据库（%s），只保留在日志中",
                 qPrintable(RecordingStatus::describe(written)));
    return Ok;
}

bool Accounts::eventFilter(QObject *watched, QEvent *event)
{
    if (isInput(event->type()) && isAdministrator())
        lastInput = now();
    return QObject::eventFilter(watched, event);
}

int Accounts::administratorCheck(UserDatabase *users, const QString &self)
{
    if (!users || !users->isOpen())
        return Unavailable;
    if (self.isEmpty())
        return NotSignedIn;
    // Asked again: the role of the signed-in account may have changed since the sign-in.
    UserDatabase::Account account;
    bool found = false;
    if (users->findUser(utf8(self), &account, &found) != 0)
        return Failed;
    return found && account.isAdministrator() ? Ok : NotAdministrator;
}

UserDatabase *Accounts::database() const
{
    if (fixedDatabase)
        return fixedDatabase;
    return static_cast<UserDatabase *>(AppContext::instance().object(UserDb));
}

qint64 Accounts::now() const
{
    std::lock_guard<std::mutex> locked(clockMutex);
    return clock ? clock() : QDateTime::currentMSecsSinceEpoch();
}

QString Accounts::timeText() const
{
    return QDateTime::fromMSecsSinceEpoch(now()).toString(QLatin1String(timeFormat));
}

void Accounts::post(std::function<void()> job)
{
    ThreadHandOff::release();
    worker.start([job] {
        ThreadHandOff::acquire();
        job();
        // The next job may run on another of the pool's threads.
        ThreadHandOff::release();
    });
}

Accounts::Context::Context(QObject *object) : object(object), given(object != nullptr) {}

void Accounts::deliver(const Context &context, std::function<void()> deliver)
{
    ThreadHandOff::release();
    QMetaObject::invokeMethod(
        this,
        [context, deliver] {
            ThreadHandOff::acquire();
            if (!context.given || context.object)
                deliver();
        },
        Qt::QueuedConnection);
}

void Accounts::writeAudit(const QString &user, const QString &action, const QString &detail,
                          const QString &time)
{
    UserDatabase *users = database();
    TrailRow row{utf8(time.isEmpty() ? timeText() : time), utf8(user), utf8(action), utf8(detail),
                 users ? users->getPath() : std::string()};
    logTrailRow(row.time, row.user, row.action, row.detail);
    RecordSink::publishAudit(row.time, row.user, row.action, row.detail);
    heldTrail.push_back(std::move(row));
    if (int(heldTrail.size()) > maxHeldTrail) {
        if (!trailOverflowing)
            qWarning("hydrovane: 暂存的操作记录超过 %d 条，最早的被丢弃（仍在日志中）",
                     maxHeldTrail);
        trailOverflowing = true;
        heldTrail.pop_front();
        ++trailDropped;
    }
    flushTrail();
}

void Accounts::flushTrail()
{
    UserDatabase *users = database();
    // No file to write to (the registry is between two station folders): nothing changes.
    if (!users)
        return;
    // Rows made for another station folder's file stay only in the log.
    while (!heldTrail.empty() && !heldTrail.front().file.empty() &&
           heldTrail.front().file != users->getPath()) {
        qWarning("hydrovane: 操作记录属于另一个用户数据库 %s，未写入（仍在日志中）",
                 heldTrail.front().file.c_str());
        heldTrail.pop_front();
        ++trailDropped;
    }
    int failure = 0;
    if (!users->isOpen())
        failure = heldTrail.empty() ? 0 : SQLITE_CANTOPEN;
    while (failure == 0 && !heldTrail.empty()) {
        const TrailRow &row = heldTrail.front();
        failure = users->appendAudit(row.time, row.user, row.action, row.detail);
        if (failure == 0)
            heldTrail.pop_front();
    }
    publishTrailStatus(failure);
}

void Accounts::publishTrailStatus(int failure)
{
    TrailStatus next;
    next.held = int(heldTrail.size());
    next.dropped = trailDropped;
    TrailStatus before;
    {
        std::lock_guard<std::mutex> locked(trailMutex);
        before = trail;
        // While rows are held the last known reason stands.
        next.failure = next.held == 0 ? 0 : failure != 0 ? failure : before.failure;
        if (next == before)
            return;
        trail = next;
    }
    if (before.held == 0 && next.held > 0)
        qWarning("hydrovane: 操作记录无法写入用户数据库（%s），暂存在内存中，恢复后自动补存",
                 qPrintable(RecordingStatus::describe(next.failure)));
    else if (before.held > 0 && next.held == 0)
        qInfo("hydrovane: 暂存的操作记录已全部写入用户数据库");
    if (next.held == 0)
        trailOverflowing = false;
    ThreadHandOff::release();
    QMetaObject::invokeMethod(
        this,
        [this] {
            ThreadHandOff::acquire();
            followTrail();
            emit signal_trailChanged();
        },
        Qt::QueuedConnection);
}

void Accounts::followTrail()
{
    if (trailStatus().held > 0) {
        if (!trailTimer.isActive())
            trailTimer.start();
    } else {
        trailTimer.stop();
    }
}

void Accounts::loadSignInGuard(UserDatabase *users)
{
    int storedFailures = 0;
    long long storedUntil = 0;
    if (users->readSignInGuard(&storedFailures, &storedUntil) != 0)
        return; // what this process counted stands
    if (guardUnsaved) {
        // Never fewer tries than this process counted.
        failures = qMax(failures, storedFailures);
        lockedUntil = qMax<qint64>(lockedUntil, storedUntil);
    } else {
        failures = storedFailures;
        lockedUntil = storedUntil;
    }
}

void Accounts::storeSignInGuard(UserDatabase *users)
{
    guardUnsaved = users->writeSignInGuard(failures, lockedUntil) != 0;
}

void Accounts::checkIdle()
{
    if (!isAdministrator())
        return;
    const qint64 idle = now() - lastInput;
    if (idle < idleTimeoutMs) {
        idleTimer.start(int(idleTimeoutMs - qMax<qint64>(0, idle)));
        return;
    }
    const QString name = currentName;
    currentName.clear();
    currentRole = Operator;
    post([=] {
        writeAudit(name, QStringLiteral("注销"),
                   QStringLiteral("闲置超时，自动注销"));
    });
    emit signal_userChanged();
    emit signal_idleSignedOut();
}
