#ifndef ACCOUNTS_H
#define ACCOUNTS_H

#include <QObject>
#include <QPointer>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <QVector>

#include <deque>
#include <functional>
#include <mutex>
#include <string>

class QDateTime;
class UserDatabase;

// Who is signed in at the station, and the account commands behind the 用户 menu. The
// password hashes and every statement on user/user.zdb run on a worker of its own, one job at a
// time in the order asked; results come back to the thread that owns this object (the
// interface thread) through the callbacks, which are skipped when their context object is gone.
//
// Five failed sign-ins in a row, under any names, lock sign-in for 30 s; the count and the lock
// are kept in user.zdb, so a restart gives no more tries. A signed-in administrator is signed out
// after idleTimeout without keyboard or mouse input anywhere in the application. Sign-ins,
// failures, sign-outs and account changes are written to the trail; maintenance commands write
// theirs with audit().
//
// Each trail row also goes to the log (a line on the standard error output) and to the record
// sink (the MQTT publisher's audit topic), so that a row deleted from user.zdb exists elsewhere.
// A row user.zdb does not take (read-only, locked, full, not open) is held in memory, in order,
// and tried again every few seconds and before each new row; trailStatus() tells the window.
class Accounts : public QObject
{
    Q_OBJECT

public:
    enum Role {
        Administrator = 0,
        Operator = 1,
    };

    enum Result
    {
        Ok = 0,
        // A wrong name or password: the two are not told apart.
        WrongPassword,
        // Sign-in is locked: Reply::secondsLeft.
        Locked,
        // The password is right but empty (the default admin): nobody was signed in; sign in
        // again with signInSettingPassword.
        MustSetPassword,
        // user.zdb did not open.
        Unavailable,
        NotSignedIn,
        NotAdministrator,
        // Empty or only blanks.
        EmptyName,
        EmptyPassword,
        NameTaken,
        NoSuchUser,
        LastAdministrator,
        // Nobody deletes the account they are signed in with.
        OwnAccount,
        // user.zdb holds no account (it was missing or empty on a station that had accounts):
        // sign-in stays locked until an administrator is set with --passwd.
        NoAccounts,
        // Longer than maxPasswordBytes, or holding a NUL.
        UnusablePassword,
        // A statement failed, or no random bytes for a salt.
        Failed,
    };

    struct Reply
    {
        int result = Ok;
        int secondsLeft = 0;
        // The operator's message for the result; empty for Ok.
        QString text() const;
    };
    using Done = std::function<void(const Reply &reply)>;

    struct User
    {
        QString name;
        int role = Operator;
    };

    struct AuditEntry
    {
        qint64 id = 0;
        // "yyyy-MM-dd hh:mm:ss"
        QString time;
        QString user;
        QString action;
        QString detail;
    };

    // What resetPassword did.
    enum PasswdChange
    {
        PasswordSet = 0,
        // The account did not exist: made an administrator.
        AccountCreated,
        // The account was not an administrator and was made one, as asked.
        MadeAdministrator,
        // The account is not an administrator and stays what it is.
        NotAnAdministrator,
    };

    // Trail rows user.zdb has not taken yet, in memory; given up beyond maxHeldTrail (counted).
    struct TrailStatus
    {
        int held = 0;
        qint64 dropped = 0;
        // The database's code of the last refusal while rows are held.
        int failure = 0;
        bool operator==(const TrailStatus &other) const
        {
            return held == other.held && dropped == other.dropped && failure == other.failure;
        }
    };

    static constexpr int maxFailures = 5;
    static constexpr int lockSeconds = 30;
    static constexpr int defaultIdleTimeoutMs = 10 * 60 * 1000;
    static constexpr int maxPasswordBytes = 1024;
    static constexpr int maxHeldTrail = 100000;
    static constexpr int trailRetryMs = 5000;
    // The trail's name of a failed sign-in under a name that is no account: what was typed may
    // have been a password.
    static QString unknownUser();

    // The station's accounts on the registry's user database. Call it first on the interface
    // thread, once the application object exists (its input events measure the idle time).
    static Accounts &instance();
    // database null: the registry's user database, looked up for each job.
    explicit Accounts(UserDatabase *database = nullptr, QObject *parent = nullptr);
    // Waits for the job running; results not yet delivered are dropped.
    ~Accounts() override;

    // Interface thread. Never waits.
    bool isAvailable() const;
    bool isSignedIn() const { return !currentName.isEmpty(); }
    bool isAdministrator() const { return isSignedIn() && currentRole == Administrator; }
    QString userName() const { return currentName; }
    int role() const { return currentRole; }
    // The name audit rows carry: the signed-in name, or "未登录".
    QString auditName() const;
    // "管理员" or "操作员".
    static QString roleText(int role);
    // Ok, EmptyPassword or UnusablePassword: a new password must be one the hash takes whole.
    static int passwordRefusal(const QString &password);

    // Signs in on Ok. Empty names and passwords are not refused here: a wrong name is a failed
    // attempt, and an empty password is the default admin's.
    void signIn(const QString &name, const QString &password, QObject *context, Done done);
    // The same, first setting the own password to newPassword (the default admin's first
    // sign-in). EmptyPassword for an empty newPassword, before anything else is checked.
    void signInSettingPassword(const QString &name, const QString &password,
                               const QString &newPassword, QObject *context, Done done);
    // Signs out at once (nothing to do when nobody is signed in); the row follows on the worker.
    void signOut();
    // The signed-in account's own password; WrongPassword when oldPassword is wrong.
    void changePassword(const QString &oldPassword, const QString &newPassword, QObject *context,
                        Done done);
    // Administrators only.
    void addUser(const QString &name, const QString &password, int role, QObject *context,
                 Done done);
    void deleteUser(const QString &name, QObject *context, Done done);
    // Every account by name; result Ok or Unavailable / Failed with no users.
    void listUsers(QObject *context, std::function<void(int result, const QVector<User> &)> done);

    // One trail row under auditName(), written on the worker: a maintenance command and what
    // it did. Held in memory while user.zdb does not take it.
    void audit(const QString &action, const QString &detail = QString());
    // Any thread: the held trail rows now (the worker may be writing them meanwhile).
    TrailStatus trailStatus() const;
    // Tries the held rows again on the worker (the timer does so every trailRetryMs).
    void retryTrail();
    // Trail rows from..to (inclusive; an invalid bound is open), newest first, at most limit
    // (0: all).
    void listAudit(const QDateTime &from, const QDateTime &to, int limit, QObject *context,
                   std::function<void(int result, const QVector<AuditEntry> &)> done);

    // Tests: the idle time of a signed-in administrator, in ms.
    void setIdleTimeout(int ms);
    // Tests: the clock of the lock-out, the idle time and the rows' times, in ms since the
    // epoch; called on the worker and the interface thread. Null: the system clock.
    void setClock(std::function<qint64()> msecsSinceEpoch);
    // Blocks until every job asked so far has run; their results are still to be delivered.
    void waitForJobs();

    // Sets the password of name (a hash). A name that does not exist becomes an administrator;
    // an existing account that is not one stays what it is unless makeAdministrator. Writes the
    // row "重置密码" under systemUser (who ran the command), naming the account and saying it
    // came from the command line, also to the log. Runs here and now: for the command line.
    // Ok, EmptyName, EmptyPassword, UnusablePassword, Unavailable or Failed; *change: a
    // PasswdChange.
    static int resetPassword(UserDatabase *database, const QString &name, const QString &password,
                             bool makeAdministrator, const QString &systemUser, int *change);

signals:
    // Somebody signed in or out (also the idle sign-out).
    void signal_userChanged();
    // The idle sign-out, after signal_userChanged: the window may say why.
    void signal_idleSignedOut();
    // trailStatus() changed.
    void signal_trailChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    UserDatabase *database() const;
    // Ok when self is signed in and an administrator by the file; worker only.
    static int administratorCheck(UserDatabase *users, const QString &self);
    qint64 now() const;
    QString timeText() const;
    void post(std::function<void()> job);
    // A callback's context object, taken on the calling thread.
    struct Context
    {
        explicit Context(QObject *object);
        QPointer<QObject> object;
        bool given;
    };
    // Runs deliver on this object's thread, unless a context was given and is gone by then.
    void deliver(const Context &context, std::function<void()> deliver);
    struct TrailRow
    {
        std::string time, user, action, detail;
        // The user.zdb it was made for (empty: none was known); never written into another.
        std::string file;
    };
    // Logs and publishes the row, then stores it after any held ones; worker only. An empty time
    // is now.
    void writeAudit(const QString &user, const QString &action, const QString &detail,
                    const QString &time = QString());
    // Stores the held rows in order until one is refused; worker only.
    void flushTrail();
    void publishTrailStatus(int failure);
    // Interface thread: the retry timer runs while rows are held.
    void followTrail();
    // The lock-out as user.zdb keeps it, and back into it; worker only.
    void loadSignInGuard(UserDatabase *users);
    void storeSignInGuard(UserDatabase *users);
    Reply signInJob(const QString &name, const QString &password, const QString *newPassword,
                    int *role);
    void signedIn(const QString &name, int role);
    int addUserJob(const QString &self, const QString &name, const QString &password, int role);
    int deleteUserJob(const QString &self, const QString &name);
    void checkIdle();

    UserDatabase *const fixedDatabase;
    QThreadPool worker;
    QTimer idleTimer;
    QTimer trailTimer;
    int idleTimeoutMs = defaultIdleTimeoutMs;
    qint64 lastInput = 0;
    QString currentName;
    int currentRole = Operator;

    mutable std::mutex clockMutex;
    std::function<qint64()> clock;
    // Worker only.
    int failures = 0;
    qint64 lockedUntil = 0;
    // The last write of the lock-out failed: the file may hold less than this process counted.
    bool guardUnsaved = false;
    std::deque<TrailRow> heldTrail;
    qint64 trailDropped = 0;
    // Rows are being given up beyond maxHeldTrail; told once until none is held.
    bool trailOverflowing = false;

    mutable std::mutex trailMutex;
    TrailStatus trail;
};

#endif // ACCOUNTS_H
