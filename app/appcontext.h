#ifndef APPCONTEXT_H
#define APPCONTEXT_H

#include <QString>

class ConfigFile;
class RecordDatabase;
class UserDatabase;

// Numbers naming every file and folder of the application directory.
enum ResourceKind {
    ComPortConfig = 0,
    MonitorConfig = 1,
    RecordDb = 2,
    ExportDir = 3,
    BackupDir = 4,
    UserDb = 5,
    UserManual = 6,
};

// The process-wide registry: resolves resource kinds to paths under the application
// directory and owns the objects the whole program shares.
class AppContext
{
public:
    static AppContext &instance();

    // The shared object of a kind; null for kinds without one and for unknown kinds.
    void *object(int kind) const;
    // Application directory + the kind's suffix; the directory alone for unknown kinds.
    QString path(int kind) const;

    // Creates missing folders, then creates and loads or opens the shared objects.
    int init();
    // Closes what init opened. Called once at a confirmed exit.
    int shutdown();

    // Points the registry at another directory instead of the executable's (tests and tools).
    // An empty text returns to the executable's directory.
    void setApplicationDir(const QString &dir);
    // Deletes the shared objects so that init may run again, for example on another directory.
    void reset();

private:
    AppContext();
    ~AppContext();
    AppContext(const AppContext &) = delete;
    AppContext &operator=(const AppContext &) = delete;

    QString applicationDir() const;

    QString overrideDir;
    ConfigFile *comPortConfig = nullptr;
    ConfigFile *monitorConfig = nullptr;
    RecordDatabase *recordDatabase = nullptr;
    UserDatabase *userDatabase = nullptr;
};

#endif // APPCONTEXT_H
