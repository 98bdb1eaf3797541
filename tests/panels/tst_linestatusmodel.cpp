#include "panels/linestatusmodel.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

namespace {

LineStatusModel::Instrument healthy(int id)
{
    LineStatusModel::Instrument instrument;
    instrument.name = QStringLiteral("仪表%1").arg(id);
    instrument.id = id;
    instrument.model = QStringLiteral("DI590");
    instrument.synced = true;
    instrument.health.exchanges = 10;
    instrument.health.lastResponseMs = 12;
    instrument.health.medianResponseMs = 11;
    instrument.health.maxResponseMs = 30;
    return instrument;
}

QString text(const LineStatusModel &model, int row, int column, int role = Qt::DisplayRole)
{
    return model.data(model.index(row, column), role).toString();
}

} // namespace

class TestLineStatusModel : public QObject
{
    Q_OBJECT

private slots:
    void aPassAnnouncesOnlyTheCellsThatChanged();
    void stateTellsDemotionAndWhyAnInstrumentIsNotSynced();
    void figuresNotMeasuredYetShowAsDashes();
};

void TestLineStatusModel::aPassAnnouncesOnlyTheCellsThatChanged()
{
    LineStatusModel model;
    std::vector<LineStatusModel::Instrument> instruments;
    for (int id = 1; id <= 100; ++id)
        instruments.push_back(healthy(id));
    QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
    model.update(instruments);
    QCOMPARE(model.rowCount(), 100);
    QCOMPARE(resets.size(), 1);

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    model.update(instruments);
    QCOMPARE(changed.size(), 0);

    // One instrument's exchanges and its maximum response: only those two cells.
    instruments[41].health.exchanges = 11;
    instruments[41].health.maxResponseMs = 31;
    model.update(instruments);
    QStringList cells;
    for (const QList<QVariant> &announced : changed) {
        const QModelIndex first = announced[0].value<QModelIndex>();
        const QModelIndex last = announced[1].value<QModelIndex>();
        cells << QStringLiteral("%1:%2-%3:%4")
                     .arg(first.row())
                     .arg(first.column())
                     .arg(last.row())
                     .arg(last.column());
    }
    const int exchanges = LineStatusModel::Exchanges, maximum = LineStatusModel::MaxResponse;
    QCOMPARE(cells, QStringList({QStringLiteral("41:%1-41:%1").arg(exchanges),
                                 QStringLiteral("41:%1-41:%1").arg(maximum)}));
    QCOMPARE(text(model, 41, LineStatusModel::Exchanges), QString("11"));
    QCOMPARE(text(model, 41, LineStatusModel::MaxResponse), QString("31"));
    QCOMPARE(text(model, 40, LineStatusModel::Exchanges), QString("10"));

    // Only the set of instruments rebuilds the rows.
    instruments.pop_back();
    model.update(instruments);
    QCOMPARE(resets.size(), 2);
    QCOMPARE(model.rowCount(), 99);
}

void TestLineStatusModel::stateTellsDemotionAndWhyAnInstrumentIsNotSynced()
{
    LineStatusModel model;
    std::vector<LineStatusModel::Instrument> instruments{healthy(1), healthy(2), healthy(3),
                                                         healthy(4)};
    instruments[1].health.demoted = true;
    instruments[1].health.nextTrySeconds = 3.2;
    instruments[1].health.lastFailure.kind = SyncFailure::NoAnswer;
    instruments[2].synced = false;
    instruments[2].syncFailure = SyncFailure::otherModel("RO592");
    instruments[3].synced = false;
    model.update(instruments);

    QCOMPARE(text(model, 0, LineStatusModel::State), QString("正常"));
    QVERIFY(text(model, 0, LineStatusModel::State, Qt::ToolTipRole).isEmpty());
    // Rounded up: a try 3.2 s away is not "in 3 s".
    QCOMPARE(text(model, 1, LineStatusModel::State), QString("降级，约4秒后重试"));
    const QString tip = text(model, 1, LineStatusModel::State, Qt::ToolTipRole);
    QVERIFY2(tip.startsWith("降级：") && tip.contains(QString::fromStdString(
                                             instruments[1].health.reasonText())),
             qPrintable(tip));
    QVERIFY(model.data(model.index(1, LineStatusModel::State), Qt::ForegroundRole).isValid());
    QCOMPARE(text(model, 2, LineStatusModel::State),
             QString::fromStdString(SyncFailure::otherModel("RO592").text()));
    QCOMPARE(text(model, 3, LineStatusModel::State), QString("未同步"));

    // The countdown and a new reason reach the texts of rows already shown.
    instruments[1].health.nextTrySeconds = 2.5;
    instruments[0].health.lastFailure.kind = SyncFailure::NoAnswer;
    model.update(instruments);
    QCOMPARE(text(model, 1, LineStatusModel::State), QString("降级，约3秒后重试"));
    QCOMPARE(text(model, 0, LineStatusModel::State, Qt::ToolTipRole),
             QString::fromStdString(instruments[0].health.reasonText()));

    // Promotion takes the mark back.
    instruments[1].health.demoted = false;
    model.update(instruments);
    QCOMPARE(text(model, 1, LineStatusModel::State), QString("正常"));
    QVERIFY(!model.data(model.index(1, LineStatusModel::State), Qt::ForegroundRole).isValid());
    QVERIFY(LineStatusModel::demotionText(instruments[1].health).isEmpty());
}

void TestLineStatusModel::figuresNotMeasuredYetShowAsDashes()
{
    LineStatusModel model;
    LineStatusModel::Instrument fresh;
    fresh.id = 7;
    model.update({fresh});
    for (int column : {LineStatusModel::LastResponse, LineStatusModel::MedianResponse,
                       LineStatusModel::MaxResponse, LineStatusModel::LastGoodAnswer})
        QCOMPARE(text(model, 0, column), QString("-"));
    QCOMPARE(text(model, 0, LineStatusModel::Exchanges), QString("0"));

    fresh.health.lastGoodAnswerMs = QDateTime(QDate(2026, 3, 1), QTime(8, 5, 9)).toMSecsSinceEpoch();
    model.update({fresh});
    QCOMPARE(text(model, 0, LineStatusModel::LastGoodAnswer), QString("2026-03-01 08:05:09"));
}

QTEST_MAIN(TestLineStatusModel)
#include "tst_linestatusmodel.moc"
