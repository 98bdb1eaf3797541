// The upload points in the status bar: each state, each kind of loss and its reason.
#include "panels/hj212statuslabel.h"

#include <QLabel>
#include <QtTest>

class TestHj212StatusLabel : public QObject
{
    Q_OBJECT

private slots:
    void eachPointShowsItsStateReasonAndBacklog();
    void eachLossShowsItsReasonInRed();
};

namespace {

Hj212Uploader::PointStatus point(const Hj212Link::Status &status, const char *mn = "HV0001")
{
    Hj212Uploader::PointStatus point;
    point.platform = QStringLiteral("市平台");
    point.mn = QString::fromLatin1(mn);
    point.status = status;
    return point;
}

} // namespace

void TestHj212StatusLabel::eachPointShowsItsStateReasonAndBacklog()
{
    Hj212StatusLabel label;
    label.showStatus({});
    QVERIFY(label.isHidden());

    Hj212Link::Status connecting;
    connecting.state = Hj212Link::Connecting;
    connecting.reason = QStringLiteral("平台无应答");
    connecting.backlog = 12;
    Hj212Link::Status connected;
    connected.state = Hj212Link::Connected;
    connected.reason = QStringLiteral("平台无应答"); // left from before: not shown
    connected.requests = 2;
    connected.uncoded << QStringLiteral("曝气池/ORP");
    label.showStatus({point(connecting), point(connected, "HV0002")});
    QVERIFY(!label.isHidden());
    const auto labels = label.findChildren<QLabel *>();
    QCOMPARE(labels.size(), 2);
    QCOMPARE(labels[0]->text(), QString("HJ212 市平台 HV0001 正在重连…"));
    QCOMPARE(labels[0]->toolTip(), QString("平台无应答\n待发送 12 条"));
    QVERIFY(labels[0]->styleSheet().contains("#ffd54f"));
    QCOMPARE(labels[1]->text(), QString("HJ212 市平台 HV0002 已连接"));
    QVERIFY(labels[1]->toolTip().contains("正在补发 2 个历史数据请求"));
    QVERIFY(labels[1]->toolTip().contains("曝气池/ORP"));
    QVERIFY(!labels[1]->toolTip().contains("平台无应答"));
    QVERIFY(!labels[1]->styleSheet().contains("background"));
    QCOMPARE(Hj212StatusLabel::describe(connecting), QString("正在重连(平台无应答),待发送 12 条"));

    label.showStatus({point(connected)});
    QCOMPARE(label.findChildren<QLabel *>().size(), 1);
}

void TestHj212StatusLabel::eachLossShowsItsReasonInRed()
{
    struct Case
    {
        QString problem;
        qint64 overflowed;
        qint64 refused;
        qint64 damaged;
        bool cursorDamaged;
        QString text;
        QString tip;
    };
    const Case cases[] = {
        {"", 2, 0, 0, false, "已连接,已丢弃 2 条", "积压超出上限,最早的 2 条消息已丢弃"},
        {"队列无法写入", 0, 3, 0, false, "队列无法写入,未能保存 3 条",
         "队列无法写入:新的消息无法保存"},
        // Nothing lost yet: period data waits for the queue.
        {"磁盘已满", 0, 0, 0, false, "磁盘已满", "分钟、小时和日数据随后补上"},
        {"", 0, 0, 5, false, "已连接,损坏 5 条", "至少 5 条消息无法读取"},
        {"", 0, 0, 0, true, "已连接,队列游标损坏", "全部重新发送"},
    };
    for (const Case &c : cases) {
        Hj212Link::Status status;
        status.state = Hj212Link::Connected;
        status.queueProblem = c.problem;
        status.refused = c.refused;
        status.damaged = c.damaged;
        status.cursorDamaged = c.cursorDamaged;
        status.dropped = c.overflowed + c.refused + c.damaged;
        Hj212StatusLabel label;
        label.showStatus({point(status)});
        const QLabel *shown = label.findChild<QLabel *>();
        QCOMPARE(shown->text(), "HJ212 市平台 HV0001 " + c.text);
        QVERIFY2(shown->toolTip().contains(c.tip), qPrintable(shown->toolTip()));
        QVERIFY(shown->styleSheet().contains("#c62828"));
        // Only the bound's overflow is taken for it.
        QCOMPARE(shown->toolTip().contains("积压超出上限"), c.overflowed > 0);
        QVERIFY(Hj212StatusLabel::describe(status).contains(c.text.section(',', 1)));
    }
}

QTEST_MAIN(TestHj212StatusLabel)
#include "tst_hj212statuslabel.moc"
