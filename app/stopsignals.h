#ifndef STOPSIGNALS_H
#define STOPSIGNALS_H

#include <QObject>
#include <QString>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an orderly stop. The handler only writes the signal's
// number into a pipe; a notifier on the pipe's other end emits signal_stopAsked on the thread
// that made this object, once. A second of these signals ends the process at once with
// _exit(128 + its number), whatever the first one's stop is doing: the way out of a stop that
// hangs. One object at a time; while it lives it owns the three signals' handlers.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    // Puts the handlers found back and forgets the signals received.
    ~StopSignals() override;

    // False when the pipe could not be made or another object holds the handlers.
    bool isInstalled() const { return installed; }
    // "SIGTERM", "SIGINT", "SIGHUP"; the number for any other.
    static QString name(int signal);

signals:
    void signal_stopAsked(int signal);

private slots:
    void readPipe();

private:
    bool installed = false;
    QSocketNotifier *notifier = nullptr;
};

#endif // STOPSIGNALS_H
