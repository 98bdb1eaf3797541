#include "hj212uploader.h"

namespace {

std::string safeName(const std::string &name)
{
    std::string safe;
    for (unsigned char c : name)
        safe += c < 0x20 || c == 0x7F || c == '/' || c == '\\' ? '_' : char(c);
    if (safe.empty() || safe == "." || safe == "..")
        safe = "_" + safe;
    return safe;
}

} // namespace

Hj212Uploader::Hj212Uploader(const QString &queueRoot, const QString &recordFile, QObject *parent)
    : QObject(parent), queueRoot(queueRoot), recordFile(recordFile.toStdString())
{
}

Hj212Uploader::~Hj212Uploader()
{
    stop();
}

QString Hj212Uploader::pointFolder(const QString &queueRoot, const std::string &platform,
                                   const std::string &mn)
{
    QString root = queueRoot;
    while (root.endsWith(QLatin1Char('/')) && root.size() > 1)
        root.chop(1);
    return root + QLatin1Char('/') + QString::fromStdString(safeName(platform)) + QLatin1Char('/') +
           QString::fromStdString(safeName(mn));
}

void Hj212Uploader::setLinkDefaults(const Hj212Link::Config &config)
{
    std::lock_guard<std::mutex> applying(applyMutex);
    defaults = config;
}

void Hj212Uploader::apply(const Hj212Settings &settings,
                          const std::map<std::string, std::string> &monitorModels)
{
    std::lock_guard<std::mutex> applying(applyMutex);
    {
        std::lock_guard<std::mutex> locker(settingsMutex);
        current = settings;
    }
    Hj212Settings usable;
    settings.validate(monitorModels, &usable);
    std::vector<std::unique_ptr<Hj212Link>> made;
    for (const Hj212Settings::Platform &platform : usable.platforms) {
        if (!platform.enabled)
            continue;
        for (const Hj212Settings::Point &point : platform.points) {
            if (point.monitors.empty())
                continue;
            Hj212Link::Config config = defaults;
            config.platform = platform;
            config.platform.points.clear();
            config.point = point;
            config.codes = usable.resolve(point, monitorModels);
            config.queueFolder = pointFolder(queueRoot, platform.name, point.mn).toStdString();
            config.recordFile = recordFile;
            made.push_back(
                std::make_unique<Hj212Link>(config, [this] { emit signal_statusChanged(); }));
        }
    }
    std::vector<std::unique_ptr<Hj212Link>> old;
    {
        // Rows wait here while the links are replaced: none reaches a link being deleted.
        std::unique_lock<std::shared_mutex> locker(linksMutex);
        old.swap(links);
        links = std::move(made);
        uploading = !links.empty();
    }
    old.clear(); // stops their threads
    std::shared_lock<std::shared_mutex> locker(linksMutex);
    for (const auto &link : links)
        link->start();
    locker.unlock();
    emit signal_statusChanged();
}

Hj212Settings Hj212Uploader::settings() const
{
    std::lock_guard<std::mutex> locker(settingsMutex);
    return current;
}

void Hj212Uploader::stop()
{
    std::lock_guard<std::mutex> applying(applyMutex);
    std::vector<std::unique_ptr<Hj212Link>> old;
    {
        std::unique_lock<std::shared_mutex> locker(linksMutex);
        old.swap(links);
        uploading = false;
    }
    const bool had = !old.empty();
    old.clear();
    if (had)
        emit signal_statusChanged();
}

std::vector<Hj212Uploader::PointStatus> Hj212Uploader::status() const
{
    std::vector<PointStatus> all;
    std::shared_lock<std::shared_mutex> locker(linksMutex);
    for (const auto &link : links) {
        const Hj212Link::Config &config = link->configuration();
        all.push_back({QString::fromStdString(config.platform.name),
                       QString::fromStdString(config.point.mn), link->status()});
    }
    return all;
}

Hj212Link *Hj212Uploader::link(const std::string &platform, const std::string &mn) const
{
    std::shared_lock<std::shared_mutex> locker(linksMutex);
    for (const auto &link : links)
        if (link->configuration().platform.name == platform && link->configuration().point.mn == mn)
            return link.get();
    return nullptr;
}

void Hj212Uploader::recordRow(const RecordRow &row)
{
    if (!uploading.load(std::memory_order_relaxed))
        return;
    std::shared_lock<std::shared_mutex> locker(linksMutex);
    for (const auto &link : links)
        link->takeRow(row);
}

void Hj212Uploader::alarmChange(int, const AlarmEvent &)
{
    // The platforms get readings and their flags; alarms are the station's own.
}
