#include "autobackup.h"

#include "app/appcontext.h"
#include "storage/autobackupcopies.h"
#include "storage/recorddatabase.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <nlohmann/json.hpp>

#include <memory>

#include <unistd.h>

namespace {

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

std::string bytes(const QString &path)
{
    return QFile::encodeName(path).toStdString();
}

// Why a second folder cannot take a copy; empty when it can.
QString secondFolderProblem(const QString &folder)
{
    const QFileInfo info(folder);
    if (!info.exists())
        return QStringLiteral("第二备份文件夹 %1 不存在或未连接,未备份到该文件夹。")
            .arg(native(folder));
    if (!info.isDir())
        return QStringLiteral("第二备份位置 %1 不是文件夹,未备份到该位置。").arg(native(folder));
    if (::access(QFile::encodeName(folder).constData(), W_OK | X_OK) != 0)
        return QStringLiteral("第二备份文件夹 %1 是只读的或无权写入,未备份到该文件夹。")
            .arg(native(folder));
    return QString();
}

} // namespace

AutoBackup::AutoBackup(RecordDatabase *database, const QString &stationDir, QObject *parent)
    : QObject(parent), database(database), stationDir(stationDir)
{
    qRegisterMetaType<AutoBackup::Report>();
    auto clock = std::make_shared<QElapsedTimer>();
    clock->start();
    wall = [] { return QDateTime::currentDateTime(); };
    monotonic = [clock] { return clock->elapsed(); };
    connect(&timer, &QTimer::timeout, this, &AutoBackup::check);
}

AutoBackup::~AutoBackup()
{
    // Nobody is left to be told.
    if (worker.joinable())
        worker.join();
}

void AutoBackup::setClock(const WallClock &wallClock, const MonotonicClock &monotonicClock)
{
    wall = wallClock;
    monotonic = monotonicClock;
}

QString AutoBackup::settingsPath(const QString &stationDir)
{
    return stationDir + QStringLiteral("/config/AutoBackup.json");
}

QString AutoBackup::folder() const
{
    return stationDir + QStringLiteral("/backup/auto");
}

void AutoBackup::load(QString *problem)
{
    AutoBackupSettings settings;
    QString text;
    AutoBackupSettings::load(settingsPath(stationDir), &settings, &text);
    schedule.setSettings(settings);
    if (problem)
        *problem = text;

    BackupSchedule::State state;
    QFile file(folder() + QStringLiteral("/schedule.json"));
    if (file.open(QIODevice::ReadOnly)) {
        const nlohmann::json document =
            nlohmann::json::parse(file.read(4096).toStdString(), nullptr, false);
        const auto read = [&document](const char *key) {
            const auto found = document.is_object() ? document.find(key) : document.end();
            return found != document.end() && found->is_number_integer()
                       ? QDateTime::fromSecsSinceEpoch(found->get<qint64>())
                       : QDateTime();
        };
        state.covered = read("covered");
        state.confirmed = read("confirmed");
    }
    schedule.restore(state);
}

void AutoBackup::setSettings(const AutoBackupSettings &settings)
{
    schedule.setSettings(settings);
}

void AutoBackup::start(int intervalMs)
{
    stopped = false;
    check();
    timer.start(intervalMs);
}

void AutoBackup::stop()
{
    stopped = true;
    timer.stop();
}

bool AutoBackup::check()
{
    if (stopped || running)
        return false;
    bool changed = false;
    const bool due = schedule.isDue(wall(), monotonic(), &changed);
    if (!due) {
        if (changed)
            writeState(schedule.state());
        return false;
    }
    return begin();
}

bool AutoBackup::runNow()
{
    if (running)
        return false;
    return begin();
}

bool AutoBackup::begin()
{
    const QDateTime time = wall();
    // Tried once a slot: a failure is reported and waits for the next scheduled time.
    schedule.markDone(time, monotonic());
    const BackupSchedule::State state = schedule.state();
    // The disk guard's refusal plugs in here: a backup that would fill the disk is not begun.
    const QString refused = refusal_ ? refusal_() : QString();
    if (!refused.isEmpty()) {
        writeState(state);
        Report report;
        report.time = time;
        report.problems << QStringLiteral("自动备份未进行:") + refused;
        emit signal_finished(report);
        return false;
    }
    running = true;
    emit signal_started();
    const AutoBackupSettings settings = schedule.settings();
    const QString target = folder();
    RecordDatabase *database =
        this->database ? this->database
                       : static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
    worker = std::thread([this, database, settings, target, time, state] {
        Report report = copyAndCheck(database, target, settings, time);
        writeState(state);
        {
            std::lock_guard<std::mutex> guard(pendingMutex);
            pending = std::move(report);
            hasPending = true;
        }
        running = false;
        QMetaObject::invokeMethod(this, &AutoBackup::deliver, Qt::QueuedConnection);
    });
    return true;
}

void AutoBackup::deliver()
{
    if (worker.joinable())
        worker.join();
    Report report;
    {
        std::lock_guard<std::mutex> guard(pendingMutex);
        if (!hasPending)
            return;
        report = std::move(pending);
        hasPending = false;
    }
    emit signal_finished(report);
}

void AutoBackup::waitForFinished()
{
    if (worker.joinable())
        worker.join();
    deliver();
}

void AutoBackup::writeState(const BackupSchedule::State &state) const
{
    if (!QDir().mkpath(folder()))
        return;
    const nlohmann::json document = {{"covered", state.covered.toSecsSinceEpoch()},
                                     {"confirmed", state.confirmed.toSecsSinceEpoch()}};
    QSaveFile file(folder() + QStringLiteral("/schedule.json"));
    if (!file.open(QIODevice::WriteOnly))
        return;
    const std::string text = document.dump() + "\n";
    file.write(text.data(), qint64(text.size()));
    file.commit();
}

AutoBackup::Report AutoBackup::copyAndCheck(RecordDatabase *database, const QString &folder,
                                            const AutoBackupSettings &settings,
                                            const QDateTime &time)
{
    Report report;
    report.time = time;
    if (!database) {
        report.problems << QStringLiteral("记录数据库未打开,未能备份。");
        return report;
    }
    if (!QDir().mkpath(folder)) {
        report.problems << QStringLiteral("无法创建备份文件夹 %1。").arg(native(folder));
        return report;
    }
    const QString second = settings.secondFolder.trimmed();
    const QString secondProblem = second.isEmpty() ? QString() : secondFolderProblem(second);
    QStringList folders{folder};
    if (!second.isEmpty() && secondProblem.isEmpty())
        folders << second;
    const QString name = AutoBackupCopies::fileName(AutoBackupCopies::nextNumber(folders), time);

    const QString copy = folder + QLatin1Char('/') + name;
    if (database->copyTo(bytes(copy)) != 0) {
        report.problems << QStringLiteral("备份文件 %1 无法写入,磁盘可能已满。").arg(native(copy));
        return report;
    }
    // Only a copy that opens under the key and passes the checks lets older ones go.
    int64_t rows = -1;
    if (RecordDatabase::verifyCopy(bytes(copy), &rows) != RecordDatabase::ImportOk) {
        QFile::remove(copy);
        report.problems << QStringLiteral("备份文件 %1 校验失败,已删除。").arg(native(copy));
        return report;
    }
    report.copy = copy;
    report.rows = rows;
    int deleted = 0;
    if (AutoBackupCopies::prune(folder, settings.keep, &deleted) != 0)
        report.problems << QStringLiteral("%1 中较早的自动备份未能全部删除。").arg(native(folder));
    report.deleted += deleted;

    if (!secondProblem.isEmpty()) {
        report.problems << secondProblem;
    } else if (!second.isEmpty()) {
        const QString secondCopy = second + QLatin1Char('/') + name;
        if (RecordDatabase::copyFile(bytes(copy), bytes(secondCopy)) != 0) {
            QFile::remove(secondCopy);
            report.problems << QStringLiteral("无法复制到第二备份文件夹 %1(已拔出或已满?)。")
                                   .arg(native(second));
        } else if (RecordDatabase::verifyCopy(bytes(secondCopy), &rows) !=
                       RecordDatabase::ImportOk ||
                   rows != int64_t(report.rows)) {
            QFile::remove(secondCopy);
            report.problems << QStringLiteral("第二备份文件夹中的备份文件 %1 校验失败,已删除。")
                                   .arg(native(secondCopy));
        } else {
            report.secondCopy = secondCopy;
            if (AutoBackupCopies::prune(second, settings.keep, &deleted) != 0)
                report.problems
                    << QStringLiteral("%1 中较早的自动备份未能全部删除。").arg(native(second));
            report.deleted += deleted;
        }
    }
    report.ok = report.problems.isEmpty();
    return report;
}
