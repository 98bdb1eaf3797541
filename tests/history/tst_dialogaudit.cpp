// The 操作记录 view: the trail within a time range, newest first, read off the interface thread.
#include "app/appcontext.h"
#include "history/auditmodel.h"
#include "history/dialogaudit.h"
#include "storage/accounts.h"
#include "testsupport.h"

#include <QDateTimeEdit>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

class TestDialogAudit : public QObject
{
    Q_OBJECT

private slots:
    void rowsWithinTheRangeAreListedNewestFirst();
};

void TestDialogAudit::rowsWithinTheRangeAreListedNewestFirst()
{
    TempStation station;
    MessageBoxRecorder boxes;
    AppContext::instance().init();
    Accounts &accounts = Accounts::instance();
    const QDateTime base(QDate(2024, 3, 1), QTime(8, 0));
    int minute = 0;
    for (const char *action : {"清空", "导入", "删除仪表", "修改采集间隔"}) {
        const qint64 at = base.addSecs(60 * minute++).toMSecsSinceEpoch();
        accounts.setClock([at] { return at; });
        accounts.audit(action, QStringLiteral("详情 '%1'").arg(minute));
        accounts.waitForJobs();
    }
    accounts.setClock(nullptr);

    DialogAudit dialog;
    QSignalSpy found(&dialog, &DialogAudit::signal_searchFinished);
    // 08:01 to 08:02, both ends included.
    dialog.findChild<QDateTimeEdit *>("dateTimeEditStart")->setDateTime(base.addSecs(60));
    dialog.findChild<QDateTimeEdit *>("dateTimeEditEnd")->setDateTime(base.addSecs(120));
    dialog.findChild<QPushButton *>("pushButtonSearch")->click();
    QVERIFY(found.wait(10000));
    QCOMPARE(found.last().at(0).toInt(), 2);
    const AuditModel *model = dialog.resultModel();
    QCOMPARE(model->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QString("详情"));
    QCOMPARE(model->index(0, 0).data().toString(), QString("2024-03-01 08:02:00"));
    QCOMPARE(model->index(0, 1).data().toString(), QString("未登录"));
    QCOMPARE(model->index(0, 2).data().toString(), QString("删除仪表"));
    QCOMPARE(model->index(0, 3).data().toString(), QString("详情 '3'"));
    QCOMPARE(model->index(1, 2).data().toString(), QString("导入"));
    QCOMPARE(dialog.findChild<QLabel *>("labelResult")->text(), QString("查询完毕,共2条操作记录"));
}

QTEST_MAIN(TestDialogAudit)
#include "tst_dialogaudit.moc"
