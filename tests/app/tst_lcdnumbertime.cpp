#include "app/lcdnumbertime.h"

#include <QLCDNumber>
#include <QTimer>
#include <QtTest>

class TestLcdNumberTime : public QObject
{
    Q_OBJECT

private slots:
    void showsTheTimeAtOnceWithTwoDigitsPerFieldIn24Hours_data();
    void showsTheTimeAtOnceWithTwoDigitsPerFieldIn24Hours();
    void everyTickReadsTheClockAgain();
    void followsTheSystemClock();
};

namespace {

QLCDNumber *lcd(LcdNumberTime &clock)
{
    return clock.findChild<QLCDNumber *>(QStringLiteral("lcdNumber"));
}

// What the clock's display looks like when it shows `text`: QLCDNumber cannot tell its text,
// so the pictures are compared. The reference is a child too, drawn on the same background.
QImage drawnAs(const QLCDNumber *shown, const QString &text)
{
    QWidget holder;
    QLCDNumber reference(&holder);
    reference.setFont(shown->font());
    reference.setFrameShape(shown->frameShape());
    reference.setFrameShadow(shown->frameShadow());
    reference.setDigitCount(shown->digitCount());
    reference.setSegmentStyle(shown->segmentStyle());
    reference.resize(shown->size());
    reference.display(text);
    return reference.grab().toImage();
}

bool shows(LcdNumberTime &clock, const QString &text)
{
    QLCDNumber *shown = lcd(clock);
    return shown->grab().toImage() == drawnAs(shown, text);
}

} // namespace

void TestLcdNumberTime::showsTheTimeAtOnceWithTwoDigitsPerFieldIn24Hours_data()
{
    QTest::addColumn<QTime>("time");
    QTest::addColumn<QString>("text");
    QTest::newRow("morning") << QTime(9, 5, 7) << "09:05:07";
    QTest::newRow("evening") << QTime(21, 5, 7) << "21:05:07";
}

void TestLcdNumberTime::showsTheTimeAtOnceWithTwoDigitsPerFieldIn24Hours()
{
    QFETCH(QTime, time);
    QFETCH(QString, text);
    LcdNumberTime clock([time] { return time; });
    QLCDNumber *shown = lcd(clock);
    QVERIFY(shown);
    QCOMPARE(shown->digitCount(), 8);
    QCOMPARE(shown->segmentStyle(), QLCDNumber::Filled);
    // The pictures do tell the texts apart.
    QVERIFY(drawnAs(shown, text) != drawnAs(shown, QStringLiteral("88888888")));
    QVERIFY(drawnAs(shown, text) != drawnAs(shown, text.left(7) + QLatin1Char('8')));
    QVERIFY(shows(clock, text));
}

void TestLcdNumberTime::everyTickReadsTheClockAgain()
{
    QTime now(9, 5, 7);
    LcdNumberTime clock([&now] { return now; });
    QVERIFY(shows(clock, QStringLiteral("09:05:07")));
    QTimer *timer = clock.findChild<QTimer *>();
    QVERIFY(timer && timer->isActive() && !timer->isSingleShot());
    QCOMPARE(timer->interval(), 1000);

    // A system clock set forward is shown as it is, not counted on from the old time.
    now = QTime(13, 0, 0);
    QTRY_VERIFY_WITH_TIMEOUT(shows(clock, QStringLiteral("13:00:00")), 3000);
    now = QTime(13, 0, 1);
    QTRY_VERIFY_WITH_TIMEOUT(shows(clock, QStringLiteral("13:00:01")), 3000);
}

void TestLcdNumberTime::followsTheSystemClock()
{
    const QString before = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    LcdNumberTime clock;
    const QString after = QTime::currentTime().toString(QStringLiteral("HH:mm:ss"));
    QVERIFY2(shows(clock, before) || shows(clock, after), qPrintable(before));
}

QTEST_MAIN(TestLcdNumberTime)
#include "tst_lcdnumbertime.moc"
