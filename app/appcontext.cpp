#include "appcontext.h"

#include "acquisition/configfile.h"
#include "storage/recorddatabase.h"
#include "storage/recordwriter.h"
#include "storage/userdatabase.h"

#include <QCoreApplication>
#include <QDir>

namespace {

const char *const suffixes[] = {
    "/config/ComPort.json", "/config/Monitor.json", "/db/record.zdb", "/export/",
    "/backup/",             "/user/user.zdb",       "/user/um.mht",
};
const int kindCount = int(sizeof(suffixes) / sizeof(suffixes[0]));

// Folders the station needs; a skipped install step must not cost readings.
const char *const folders[] = {"config", "db", "export", "backup", "user"};

} // namespace

// Outside any namespace, as the resource macro requires.
static void initResources()
{
    // The images live in a static library; registering them here keeps the linker from
    // dropping them in every program that uses the registry.
    Q_INIT_RESOURCE(resources);
}

AppContext::AppContext()
{
    initResources();
}

AppContext::~AppContext() = default;

AppContext &AppContext::instance()
{
    static AppContext context;
    return context;
}

void *AppContext::object(int kind) const
{
    switch (kind) {
    case ComPortConfig:
        return comPortConfig;
    case MonitorConfig:
        return monitorConfig;
    case RecordDb:
        return recordDatabase;
    case UserDb:
        return userDatabase;
    default:
        return nullptr;
    }
}

QString AppContext::path(int kind) const
{
    if (kind < 0 || kind >= kindCount)
        return applicationDir();
    return applicationDir() + QLatin1String(suffixes[kind]);
}

int AppContext::init()
{
    QDir dir(applicationDir());
    for (const char *folder : folders)
        dir.mkpath(QLatin1String(folder));
    if (!comPortConfig) {
        comPortConfig = new ConfigFile(path(ComPortConfig).toUtf8().constData());
        comPortConfig->load();
    }
    if (!monitorConfig) {
        monitorConfig = new ConfigFile(path(MonitorConfig).toUtf8().constData());
        monitorConfig->load();
    }

    // A missing database file is made with its table, so that no reading is dropped.
    if (!recordDatabase) {
        recordDatabase = new RecordDatabase(path(RecordDb).toUtf8().toStdString());
        recordDatabase->openOrCreate();
    }
    if (!userDatabase) {
        userDatabase = new UserDatabase(path(UserDb).toUtf8().toStdString());
        userDatabase->openOrCreate();
    }
    return 0;
}

int AppContext::shutdown()
{
    // Rows already handed to the record writers are stored before the file closes.
    RecordWriter::waitForAll();
    if (recordDatabase)
        recordDatabase->close();
    if (userDatabase)
        userDatabase->close();
    return 0;
}

void AppContext::setApplicationDir(const QString &dir)
{
    overrideDir = dir;
    while (overrideDir.size() > 1 && overrideDir.endsWith(QLatin1Char('/')))
        overrideDir.chop(1);
}

void AppContext::reset()
{
    delete comPortConfig;
    comPortConfig = nullptr;
    delete monitorConfig;
    monitorConfig = nullptr;
    delete recordDatabase;
    recordDatabase = nullptr;
    delete userDatabase;
    userDatabase = nullptr;
}

QString AppContext::applicationDir() const
{
    if (!overrideDir.isEmpty())
        return overrideDir;
    return QCoreApplication::applicationDirPath();
}
