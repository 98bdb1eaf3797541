#ifndef RECORDINGSTATUS_H
#define RECORDINGSTATUS_H

#include <QObject>
#include <QString>

#include <atomic>

// What the record writers of the process could not store, summed over all of them, so that the
// window can tell the operator. Writers publish from their own threads through atomics; the
// object lives on the application's thread, where signal_changed arrives queued.
class RecordingStatus : public QObject
{
    Q_OBJECT

public:
    struct Snapshot
    {
        qint64 held = 0;    // rows waiting for the database to take them again
        qint64 dropped = 0; // rows given up since the process started
        int failing = 0;    // writers whose last insert was refused
        int troubled = 0;   // of those, refused for another reason than a lock of our own
        int failure = 0;    // the database's code of the last such refusal
        qint64 unmatched = 0; // alarm clears and acknowledgements that found no row
        qint64 handed = 0;  // rows handed to the writers since the process started
        // The alarm log apart: changes waiting for table Alarm to take them again, changes
        // given up, writers whose last alarm statement was refused, the code of the last
        // refusal, and how many times a writer's alarm log began to fail.
        qint64 alarmHeld = 0;
        qint64 alarmDropped = 0;
        int alarmFailing = 0;
        int alarmFailure = 0;
        qint64 alarmEpisodes = 0;
    };

    static RecordingStatus &instance();
    // The operator's words for a refusal code, for example "磁盘已满".
    static QString describe(int failure);

    // Writer side: changes of the sums, and the code of a refusal other than a lock (0: none).
    void publish(qint64 heldDelta, qint64 droppedDelta, int failingDelta, int troubledDelta,
                 int failure);

    // Writer side: the same for the alarm log; failure is the refusal's code (0: none).
    void publishAlarms(qint64 heldDelta, qint64 droppedDelta, int failingDelta, int failure);

    // Writer side: an alarm's clear or acknowledgement found no row in the log.
    void reportUnmatchedAlarm();
    // A panel handed a row to its writer (for the count told at the exit; no signal).
    void countHanded() { handed.fetch_add(1, std::memory_order_relaxed); }

    // Reader side: the current sums. Re-arms signal_changed, which is emitted once until the
    // next snapshot however many changes come meanwhile.
    Snapshot snapshot();

signals:
    void signal_changed();

private:
    RecordingStatus();

    std::atomic<qint64> held{0};
    std::atomic<qint64> dropped{0};
    std::atomic<int> failing{0};
    std::atomic<int> troubled{0};
    std::atomic<int> failure{0};
    std::atomic<qint64> unmatched{0};
    std::atomic<qint64> handed{0};
    std::atomic<qint64> alarmHeld{0};
    std::atomic<qint64> alarmDropped{0};
    std::atomic<int> alarmFailing{0};
    std::atomic<int> alarmFailure{0};
    std::atomic<qint64> alarmEpisodes{0};
    std::atomic<bool> notified{false};
};

#endif // RECORDINGSTATUS_H
