#ifndef POLLSCHEDULER_H
#define POLLSCHEDULER_H

#include <QObject>

class LineStatistics;
class QTimer;
class ReadClient;

// Paces the read passes while the line is on: a repeating timer of the read interval asks
// the reader for a pass at every tick, but only when no pass it asked for is still queued or
// running. A pass slower than the interval therefore never lets requests pile up on the
// reader thread, where each would wait longer and be shown with a later time than it was
// read at. Lives on the interface thread.
//
// Every pass asked for through signal_read() must be answered by one passDone(), from the
// receiver of ComPortReader::signal_readDone(). The timer is connected to tick(); whoever
// forwards its own timer slot to tick() must not connect the timer again.
class PollScheduler : public QObject
{
    Q_OBJECT

public:
    explicit PollScheduler(ReadClient *client, QObject *parent = nullptr);

    // Starts the timer with max(seconds, 1) seconds (at most a day) and asks for a pass at
    // once, so the first reading does not wait for the first tick.
    void start(int seconds);
    // Stops the timer. Passes already asked for still run and are still answered.
    void stop();
    // A pass asked for has finished.
    void passDone();

    bool isActive() const;
    // Passes asked for and not finished: at most one, or two right after the line was
    // switched off and on again while a pass was still queued.
    int outstanding() const { return pending; }
    const QTimer *timer() const { return readTimer; }
    // Where ticks that found a pass still running are counted; null for nowhere.
    void setLineStatistics(LineStatistics *statistics) { line = statistics; }

public slots:
    // Asks for a pass unless one is queued or running, or the timer is stopped.
    void tick();

signals:
    // Carries the ReadClient, as `void *` made from ReadClient *.
    void signal_read(void *reader);

private:
    void request();

    ReadClient *client;
    QTimer *readTimer;
    int pending = 0;
    LineStatistics *line = nullptr;
};

#endif // POLLSCHEDULER_H
