#ifndef HJ212UPLOADER_H
#define HJ212UPLOADER_H

#include "hj212/hj212link.h"
#include "settings/hj212settings.h"
#include "storage/recordsink.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

// Reports the station's readings to the environmental platforms of config/Hj212.json over
// HJ 212-2017: one Hj212Link per point of each enabled platform, each with its queue in a
// folder of its own below the station's hj212 folder (PLATFORM/MN). It is a RecordSink: the
// record writers hand it their committed rows, which it passes to the links of the points that
// report the row's monitor. Nothing of it runs on the interface thread but the status reads.
class Hj212Uploader : public QObject, public RecordSink
{
    Q_OBJECT

public:
    struct PointStatus
    {
        QString platform;
        QString mn;
        Hj212Link::Status status;
    };

    // queueRoot: the station's hj212 folder; recordFile: db/record.zdb. Nothing is uploaded
    // before apply().
    Hj212Uploader(const QString &queueRoot, const QString &recordFile, QObject *parent = nullptr);
    ~Hj212Uploader() override;

    // Stops the links and starts those of these settings, leaving out what validate() refuses
    // with the monitors (name -> model). Call from any thread but the links'; it waits for the
    // old links' threads, which a connect or a name lookup may hold up for seconds.
    void apply(const Hj212Settings &settings,
               const std::map<std::string, std::string> &monitorModels);
    Hj212Settings settings() const;
    // Stops every link; what the platforms have not answered stays on disk.
    void stop();

    // Every point uploading now, in the order of the settings. Thread-safe.
    std::vector<PointStatus> status() const;
    // Tests and the benchmark: the link of a point, null when none.
    Hj212Link *link(const std::string &platform, const std::string &mn) const;

    // The queue folder of a point below queueRoot: the names with '/' and control characters
    // replaced.
    static QString pointFolder(const QString &queueRoot, const std::string &platform,
                               const std::string &mn);
    // Queue settings of the links made from now on (tests: small bounds, quick reconnects).
    void setLinkDefaults(const Hj212Link::Config &defaults);

    void recordRow(const RecordRow &row) override;
    void alarmChange(int change, const AlarmEvent &alarm) override;

signals:
    // A point's state, reason, counts or the set of points changed. Emitted on the links'
    // threads or the caller of apply: connect queued.
    void signal_statusChanged();

private:
    const QString queueRoot;
    const std::string recordFile;
    Hj212Link::Config defaults;

    std::mutex applyMutex; // one apply or stop at a time
    mutable std::mutex settingsMutex;
    Hj212Settings current;

    // The links, shared by the writers' calls, exclusive while they are replaced.
    mutable std::shared_mutex linksMutex;
    std::vector<std::unique_ptr<Hj212Link>> links;
    std::atomic<bool> uploading{false};
};

#endif // HJ212UPLOADER_H
