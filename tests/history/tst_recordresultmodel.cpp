#include "app/appcontext.h"
#include "history/recordresultmodel.h"
#include "storage/recorddatabase.h"
#include "storage/recordreader.h"
#include "testsupport.h"

#include <QSignalSpy>
#include <QtTest>

#include <algorithm>
#include <random>

class TestRecordResultModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void orderEqualsTheQueryWhateverTheBatches_data();
    void orderEqualsTheQueryWhateverTheBatches();
    void rowsArrivingOutOfTimeOrderTakeTheirPlace();
    void viewLearnsOfEveryBatchAndTheFinalOrder();
    void rowsTakeLittleMemory();

private:
    std::unique_ptr<TempStation> station;
};

namespace {

RecordDatabase *database()
{
    return static_cast<RecordDatabase *>(AppContext::instance().object(RecordDb));
}

QStringList textsOf(const RecordRow &row)
{
    return {QString::fromStdString(row.time),  QString::fromStdString(row.name),
            QString::fromStdString(row.model), QString::number(row.slave),
            QString::number(row.channel),      QString::fromStdString(row.factor),
            QString::fromStdString(row.value), QString::fromStdString(row.unit),
            QString::fromStdString(row.status)};
}

QList<QStringList> queried()
{
    std::vector<RecordRow *> rows;
    database()->query(std::string(), rows);
    QList<QStringList> texts;
    for (const RecordRow *row : rows)
        texts << textsOf(*row);
    RecordDatabase::freeRows(rows);
    return texts;
}

QList<QStringList> shown(const RecordResultModel &model)
{
    QList<QStringList> rows;
    for (int r = 0; r < model.rowCount(); ++r) {
        QStringList texts;
        for (int c = 0; c < model.columnCount(); ++c)
            texts << model.index(r, c).data().toString();
        rows << texts;
    }
    return rows;
}

RecordRow row(const std::string &name, int channel, int minute, int value)
{
    RecordRow row =
        makeRecord(name, channel,
                   QTime(8, 0).addSecs(minute * 60).toString("2024-01-02 hh:mm:ss").toStdString());
    row.value = std::to_string(value);
    return row;
}

// Names whose byte order differs from other orders (case, accents, Chinese, a prefix), channels
// stored in no order, times stored out of order and repeated within one instrument and channel.
std::vector<RecordRow> awkwardRows()
{
    const std::vector<std::string> names{"b", "B", "Ä", "中文", "A", "A ", "a", "泵站"};
    std::vector<RecordRow> rows;
    std::mt19937 random(7);
    for (int i = 0; i < 2000; ++i)
        rows.push_back(
            row(names[random() % names.size()], int(random() % 3), int(random() % 40), i));
    return rows;
}

} // namespace

void TestRecordResultModel::init()
{
    station = std::make_unique<TempStation>();
    QCOMPARE(AppContext::instance().init(), 0);
}

void TestRecordResultModel::cleanup()
{
    station.reset();
}

void TestRecordResultModel::orderEqualsTheQueryWhateverTheBatches_data()
{
    QTest::addColumn<int>("pageRows");
    QTest::addColumn<int>("pagesPerBatch");
    QTest::newRow("one batch") << 5000 << 1;
    QTest::newRow("batch per page") << 7 << 1;
    QTest::newRow("pages gathered") << 13 << 5;
}

void TestRecordResultModel::orderEqualsTheQueryWhateverTheBatches()
{
    QFETCH(int, pageRows);
    QFETCH(int, pagesPerBatch);
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), awkwardRows()), 0);
    RecordResultModel model;
    RecordBatchBuilder builder;
    RecordReader reader(AppContext::instance().path(RecordDb).toStdString());
    int pages = 0;
    const int rc = reader.read(
        std::string(),
        [&](std::vector<RecordRow> &page) {
            for (const RecordRow &row : page)
                builder.add(row);
            if (++pages % pagesPerBatch == 0)
                model.append(std::move(*builder.take()));
            return true;
        },
        pageRows);
    QCOMPARE(rc, 0);
    model.append(std::move(*builder.take()));
    model.finish();

    const QList<QStringList> expected = queried();
    QCOMPARE(expected.size(), 2000);
    QCOMPARE(shown(model), expected);
}

void TestRecordResultModel::rowsArrivingOutOfTimeOrderTakeTheirPlace()
{
    // Distinct times: any arrival order has one listing order.
    std::vector<RecordRow> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back(row(i % 3 ? "A" : "B", i % 2, i, i));
    std::mt19937 random(11);
    std::vector<RecordRow> shuffled = rows;
    std::shuffle(shuffled.begin(), shuffled.end(), random);
    QCOMPARE(insertRecords(AppContext::instance().path(RecordDb), shuffled), 0);

    RecordResultModel model;
    RecordBatchBuilder builder;
    // Mostly in time order, with every tenth row late, across batches.
    std::vector<RecordRow> late;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i % 10 == 3)
            late.push_back(rows[i]);
        else
            builder.add(rows[i]);
        if (i % 50 == 49) {
            for (const RecordRow &row : late)
                builder.add(row);
            late.clear();
            model.append(std::move(*builder.take()));
        }
    }
    model.finish();
    QCOMPARE(shown(model), queried());
}

void TestRecordResultModel::viewLearnsOfEveryBatchAndTheFinalOrder()
{
    RecordResultModel model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    RecordBatchBuilder builder;
    builder.add(row("B", 0, 1, 1));
    builder.add(row("B", 0, 2, 2));
    model.append(std::move(*builder.take()));
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(model.index(0, 6).data().toString(), QString("2"));
    // A rows come before B's: every row from the first one moved.
    builder.add(row("A", 0, 3, 3));
    builder.add(row("B", 0, 3, 4));
    builder.add(row("B", 0, 3, 5));
    model.append(std::move(*builder.take()));
    QCOMPARE(inserted.count(), 2);
    QCOMPARE(inserted.at(1).at(1).toInt(), 2);
    QCOMPARE(inserted.at(1).at(2).toInt(), 4);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 0);
    QCOMPARE(changed.at(0).at(1).toModelIndex().row(), 1);

    model.finish();
    QCOMPARE(changed.count(), 2);
    QStringList values;
    for (int r = 0; r < model.rowCount(); ++r)
        values << model.index(r, 6).data().toString();
    // Equal times keep their stored order.
    QCOMPARE(values, QStringList({"3", "4", "5", "2", "1"}));
    QCOMPARE(model.index(0, 0).data(Qt::TextAlignmentRole).toInt(), int(Qt::AlignCenter));
    QCOMPARE(model.headerData(6, Qt::Horizontal, Qt::DisplayRole).toString(), QString("测量结果"));

    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    const std::shared_ptr<const RecordResult> kept = model.result();
    model.clear();
    QCOMPARE(reset.count(), 1);
    QCOMPARE(model.rowCount(), 0);
    // Whoever holds the old rows still has them.
    QCOMPARE(kept->rowCount(), 5);
}

void TestRecordResultModel::rowsTakeLittleMemory()
{
    RecordBatchBuilder builder;
    const int rows = 100000;
    const QDateTime from(QDate(2024, 1, 1), QTime(0, 0));
    for (int i = 0; i < rows; ++i) {
        RecordRow row = makeRecord(i % 20 < 10 ? "1号池进水口" : "2号池出水口", i % 2,
                                   from.addSecs(i).toString("yyyy-MM-dd hh:mm:ss").toStdString());
        row.value = std::to_string(i % 1000) + ".25";
        row.status = i % 97 ? "N" : "B";
        builder.add(row);
    }
    RecordResultModel model;
    model.append(std::move(*builder.take()));
    model.finish();
    QCOMPARE(model.rowCount(), rows);
    const double perRow = double(model.result()->memoryBytes()) / rows;
    QVERIFY2(perRow < 64, qPrintable(QString::number(perRow)));
}

QTEST_MAIN(TestRecordResultModel)
#include "tst_recordresultmodel.moc"
