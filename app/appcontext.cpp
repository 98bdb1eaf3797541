#include "appcontext.h"

#include "acquisition/alarmrules.h"
#include "app/accountfile.h"
#include "app/stationfolder.h"
#include "hj212/hj212uploader.h"
#include "mqtt/mqttpublisher.h"
#include "settings/configfile.h"
#include "settings/hj212settings.h"
#include "settings/mqttsettings.h"
#include "storage/recorddatabase.h"
#include "storage/recordwriter.h"
#include "storage/userdatabase.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *const suffixes[] = {
    "/config/ComPort.json",
    "/config/Monitor.json",
    "/db/record.zdb",
    "/export/",
    "/backup/",
    "/user/user.zdb",
    "/user/um.mht",
    "/config/Mqtt.json",
    "/mqtt/",
    "/config/Hj212.json",
    "/hj212/",
    "/config/Lines.json",
};
const int kindCount = int(sizeof(suffixes) / sizeof(suffixes[0]));

// Folders the station needs; a skipped install step must not cost readings.
const char *const folders[] = {"config", "db", "export", "backup", "user", "mqtt", "hj212"};

// Takes other users' access away from a folder or file of ours that an older install left
// open. The station folder itself is not touched: it may be shared with other programs.
void closeToOthers(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat info;
    if (::stat(name.constData(), &info) != 0 || info.st_uid != ::geteuid() ||
        (info.st_mode & S_IRWXO) == 0)
        return;
    ::chmod(name.constData(), info.st_mode & 07777 & ~S_IRWXO);
}

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
    case LinesConfig:
        return linesConfig;
    case MonitorConfig:
        return monitorConfig;
    case RecordDb:
        return recordDatabase;
    case UserDb:
        return userDatabase;
    case MqttConfig:
        return mqttConfig;
    case MqttOutbox:
        return mqttPublisher;
    case Hj212Config:
        return hj212Config;
    case Hj212Outbox:
        return hj212Uploader;
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

int AppContext::lockStation()
{
    // Also here for the tests and tools that start a station without main().
    StationFolder::restrictCreationMask();

    const QString station = applicationDir();
    QDir().mkpath(station);
    switch (stationLock.acquire(station)) {
    case StationLock::Acquired:
        return InitDone;
    case StationLock::HeldElsewhere:
        return InitStationInUse;
    case StationLock::Refused:
        return InitLockRefused;
    case StationLock::Unavailable:
        // A folder the station cannot write fails on its own terms later; refusing here
        // would only add a second failure.
        qWarning("hydrovane: %s cannot be locked; a second station on it is not kept out",
                 qPrintable(StationLock::lockFilePath(station)));
        break;
    }
    return InitDone;
}

QString AppContext::lockProblem() const
{
    return stationLock.problem();
}

int AppContext::checkLock()
{
    return stationLock.check();
}

int AppContext::init()
{
    const int locked = lockStation();
    if (locked != InitDone)
        return locked;
    QDir dir(applicationDir());
    for (const char *folder : folders) {
        dir.mkpath(QLatin1String(folder));
        closeToOthers(dir.filePath(QLatin1String(folder)));
    }
    // Before the databases open, so that their journals take the tightened mode; settings files
    // keep their mode when they are written again.
    for (int kind :
         {RecordDb, UserDb, ComPortConfig, LinesConfig, MonitorConfig, MqttConfig, Hj212Config})
        closeToOthers(path(kind));

    if (!comPortConfig) {
        comPortConfig = new ConfigFile(path(ComPortConfig).toUtf8().constData());
        comPortConfig->load();
    }
    // Without the file the station has its first line only.
    if (!linesConfig) {
        linesConfig = new ConfigFile(path(LinesConfig).toUtf8().constData());
        linesConfig->load();
    }
    if (!monitorConfig) {
        monitorConfig = new ConfigFile(path(MonitorConfig).toUtf8().constData(),
                                       ConfigFile::maxMonitorFileSize);
        monitorConfig->load();
    }

    // A missing database file is made with its table, so that no reading is dropped.
    if (!recordDatabase) {
        recordDatabase = new RecordDatabase(path(RecordDb).toUtf8().toStdString());
        recordDatabase->openOrCreate();
    }
    // A missing or empty one is a fresh start only in a brand-new station folder.
    if (!userDatabase) {
        userDatabase = new UserDatabase(path(UserDb).toUtf8().toStdString());
        AccountFile::open(userDatabase, applicationDir(), path(RecordDb));
    }

    // After the record database: the publisher sends what the record writers are handed.
    if (!mqttConfig) {
        mqttConfig = new ConfigFile(path(MqttConfig).toUtf8().constData());
        mqttConfig->load();
    }
    if (!mqttPublisher) {
        MqttSettings settings;
        mqttConfig->readMqtt(settings);
        mqttPublisher = new MqttPublisher(path(MqttOutbox));
        mqttPublisher->apply(settings);
        RecordSink::add(mqttPublisher);
    }
    if (!hj212Config) {
        hj212Config = new ConfigFile(path(Hj212Config).toUtf8().constData());
        hj212Config->load();
    }
    if (!hj212Uploader) {
        Hj212Settings settings;
        const auto models = monitorConfig->monitorModels();
        hj212Config->readHj212(settings, models);
        hj212Uploader = new Hj212Uploader(path(Hj212Outbox), path(RecordDb));
        hj212Uploader->apply(settings, models);
        RecordSink::add(hj212Uploader);
    }
    return InitDone;
}

int AppContext::shutdown()
{
    // The station stops watching: its alarms end now, and their clears are stored with the
    // rows already handed to the record writers before the file closes.
    AlarmRules::instance().stopAll(QDateTime::currentSecsSinceEpoch());
    RecordWriter::waitForAll();
    // What the broker has not acknowledged stays on disk for the next start.
    if (mqttPublisher)
        mqttPublisher->stop();
    if (hj212Uploader)
        hj212Uploader->stop();
    if (recordDatabase)
        recordDatabase->close();
    if (userDatabase)
        userDatabase->close();
    stationLock.release();
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
    // Before the delete: no record writer may be inside the publisher or the uploader then.
    RecordSink::remove(mqttPublisher);
    RecordSink::remove(hj212Uploader);
    // The alarms still listed belong to this folder's log: acknowledged later, they would be
    // looked for in another.
    AlarmRules::instance().reset();
    delete hj212Uploader;
    hj212Uploader = nullptr;
    delete hj212Config;
    hj212Config = nullptr;
    delete mqttPublisher;
    mqttPublisher = nullptr;
    delete mqttConfig;
    mqttConfig = nullptr;
    delete comPortConfig;
    comPortConfig = nullptr;
    delete linesConfig;
    linesConfig = nullptr;
    delete monitorConfig;
    monitorConfig = nullptr;
    delete recordDatabase;
    recordDatabase = nullptr;
    delete userDatabase;
    userDatabase = nullptr;
    stationLock.release();
}

QString AppContext::applicationDir() const
{
    if (!overrideDir.isEmpty())
        return overrideDir;
    return QCoreApplication::applicationDirPath();
}
