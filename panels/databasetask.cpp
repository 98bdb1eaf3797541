#include "databasetask.h"

#include "acquisition/threadhandoff.h"

#include <QEventLoop>
#include <QKeyEvent>
#include <QProgressBar>
#include <QProgressDialog>
#include <QThread>

#include <atomic>

namespace {
std::atomic<int> tasksRunning{0};
} // namespace

DatabaseTask::DatabaseTask(const QString &text, Job job, QObject *parent)
    : QObject(parent), text(text), job(std::move(job))
{
}

DatabaseTask::~DatabaseTask()
{
    if (thread) {
        thread->wait();
        ThreadHandOff::acquire();
        delete thread;
        --tasksRunning;
    }
}

int DatabaseTask::runningCount()
{
    return tasksRunning;
}

void DatabaseTask::start()
{
    if (thread || done)
        return;
    running = true;
    ++tasksRunning;
    thread = QThread::create([this] {
        ThreadHandOff::acquire();
        const int result = job([this](qint64 doneSoFar, qint64 total) {
            if (total <= 0)
                return;
            const int permille = int(qBound<qint64>(0, doneSoFar * 1000 / total, 1000));
            if (permille == lastPermille)
                return;
            lastPermille = permille;
            emit signal_progress(permille);
        });
        ThreadHandOff::release();
        // Dropped if the task is gone; its destructor has waited for this thread then.
        QMetaObject::invokeMethod(
            this, [this, result] { finish(result); }, Qt::QueuedConnection);
    });
    ThreadHandOff::release();
    thread->start();
}

void DatabaseTask::finish(int result)
{
    thread->wait();
    ThreadHandOff::acquire();
    delete thread;
    thread = nullptr;
    running = false;
    --tasksRunning;
    done = true;
    jobResult = result;
    emit signal_done(result);
}

int DatabaseTask::exec(QWidget *parent)
{
    QProgressDialog dialog(text, QString(), 0, 0, parent,
                           Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    // Set directly: QProgressDialog::setValue of a modal box processes events itself.
    auto *bar = new QProgressBar(&dialog);
    bar->setRange(0, 0);
    dialog.setBar(bar);
    dialog.setCancelButton(nullptr);
    dialog.setAutoClose(false);
    dialog.setAutoReset(false);
    dialog.setMinimumDuration(0);
    dialog.setWindowModality(Qt::ApplicationModal);
    dialog.setWindowTitle(parent ? parent->window()->windowTitle() : QString());
    dialog.installEventFilter(this);
    connect(this, &DatabaseTask::signal_progress, bar, [bar](int permille) {
        if (bar->maximum() == 0)
            bar->setRange(0, 1000);
        bar->setValue(permille);
    });
    box = &dialog;

    QEventLoop loop;
    connect(this, &DatabaseTask::signal_done, &loop, &QEventLoop::quit);
    start();
    dialog.show();
    if (!done)
        loop.exec(QEventLoop::DialogExec);
    box = nullptr;
    return jobResult;
}

bool DatabaseTask::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == box && !done) {
        if (event->type() == QEvent::Close) {
            event->ignore();
            return true;
        }
        if (event->type() == QEvent::KeyPress &&
            static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            return true;
    }
    return QObject::eventFilter(watched, event);
}
