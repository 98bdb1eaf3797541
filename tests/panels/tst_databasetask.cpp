#include "panels/databasetask.h"

#include <QProgressBar>
#include <QProgressDialog>
#include <QSemaphore>
#include <QSignalSpy>
#include <QtTest>

class TestDatabaseTask : public QObject
{
    Q_OBJECT

private slots:
    void jobRunsOnAWorkerBehindABoxThatStaysUntilItEnds();
};

void TestDatabaseTask::jobRunsOnAWorkerBehindABoxThatStaysUntilItEnds()
{
    QWidget window;
    window.setWindowTitle(QStringLiteral("HydrovaneV1.5"));
    window.show();
    // The job ends only when this thread, inside exec(), lets it.
    QSemaphore release;
    QThread *jobThread = nullptr;
    DatabaseTask task(QStringLiteral("正在导入数据..."),
                      [&](const DatabaseTask::Progress &progress) {
                          jobThread = QThread::currentThread();
                          progress(1, 0); // no total: nothing to show
                          progress(1, 2);
                          release.acquire();
                          return -3;
                      });
    QSignalSpy done(&task, &DatabaseTask::signal_done);
    QString shown;
    bool survivedClosing = false;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QProgressDialog *>(QApplication::activeModalWidget());
        if (!box || survivedClosing || box->findChild<QProgressBar *>()->value() != 500)
            return;
        QCOMPARE(DatabaseTask::runningCount(), 1);
        shown = box->labelText() + "|" + box->windowTitle();
        box->close();
        QTest::keyClick(box, Qt::Key_Escape);
        survivedClosing = box->isVisible() && QApplication::activeModalWidget() == box;
        release.release();
    });
    timer.start(10);
    QCOMPARE(task.exec(&window), -3);
    timer.stop();
    QCOMPARE(shown, QString("正在导入数据...|HydrovaneV1.5"));
    QVERIFY(survivedClosing);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(jobThread && jobThread != QThread::currentThread());
    QCOMPARE(done.count(), 1);
    QCOMPARE(DatabaseTask::runningCount(), 0);

    // Without the box: started once, the result handed back by the signal.
    DatabaseTask quiet(QString(), [](const DatabaseTask::Progress &) { return 5; });
    QSignalSpy quietDone(&quiet, &DatabaseTask::signal_done);
    quiet.start();
    quiet.start();
    QVERIFY(quietDone.wait());
    QCOMPARE(quietDone.value(0).value(0).toInt(), 5);
    QCoreApplication::processEvents();
    QCOMPARE(quietDone.count(), 1);
    QVERIFY(quiet.isDone() && !quiet.isRunning());
}

QTEST_MAIN(TestDatabaseTask)
#include "tst_databasetask.moc"
