#ifndef DATABASETASK_H
#define DATABASETASK_H

#include <QObject>
#include <QString>

#include <functional>

class QThread;
class QWidget;

// Runs one database job (a backup, an import, a clear, a removal) on a worker thread of its own
// and hands its result back to the thread that owns the task, so that neither the interface
// nor the polling waits for it. exec() shows a modal progress box without a cancel button
// while the job runs; start() and signal_done serve callers that show nothing.
class DatabaseTask : public QObject
{
    Q_OBJECT

public:
    // Called on the worker: the work done so far out of total, in any unit; total 0 is unknown.
    using Progress = std::function<void(qint64 done, qint64 total)>;
    // Returns the job's result, handed to signal_done and exec() unchanged.
    using Job = std::function<int(const Progress &progress)>;

    // text names the job in the progress box.
    DatabaseTask(const QString &text, Job job, QObject *parent = nullptr);
    // Waits for a job still running: its thread must not outlive what the job works on.
    ~DatabaseTask() override;

    // Starts the job once; later calls do nothing. Returns at once.
    void start();
    bool isRunning() const { return running; }
    // Tasks started and not yet done, on any thread.
    static int runningCount();
    bool isDone() const { return done; }
    // The job's result once done, else 0.
    int result() const { return jobResult; }
    // Starts the job and keeps the modal progress box over parent until it ends; events,
    // timers and polling go on meanwhile. Returns the job's result.
    int exec(QWidget *parent = nullptr);

signals:
    // Thousandths of the job, when the job reports a total.
    void signal_progress(int permille);
    void signal_done(int result);

protected:
    // Keeps the progress box from being closed before the job ends.
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void finish(int result);

    const QString text;
    const Job job;
    QThread *thread = nullptr;
    QWidget *box = nullptr;
    // Written by the worker only.
    int lastPermille = -1;
    bool running = false;
    bool done = false;
    int jobResult = 0;
};

#endif // DATABASETASK_H
