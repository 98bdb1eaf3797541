#include "panels/linestatusdelegate.h"
#include "panels/linestatusmodel.h"

#include <QHeaderView>
#include <QTableView>
#include <QtTest>

#include <memory>

namespace {

LineStatusModel::Instrument instrument(long long exchanges, bool demoted)
{
    LineStatusModel::Instrument row;
    row.name = QStringLiteral("一号仪表");
    row.id = 3;
    row.model = QStringLiteral("DI590");
    row.synced = true;
    row.health.exchanges = exchanges;
    row.health.lastResponseMs = 17;
    row.health.demoted = demoted;
    row.health.nextTrySeconds = 8;
    return row;
}

// A table as the 通讯状态 view paints it, with fixed column widths so that two views match.
struct View
{
    LineStatusModel model;
    std::unique_ptr<QTableView> table{new QTableView};

    explicit View(const LineStatusModel::Instrument &row)
    {
        model.update({row});
        table->setModel(&model);
        table->setItemDelegate(new LineStatusDelegate(LineStatusModel::ColumnCount, table.get()));
        table->setShowGrid(false);
        table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        for (int column = 0; column < LineStatusModel::ColumnCount; ++column)
            table->setColumnWidth(column, 130);
        table->resize(900, 120);
        table->show();
        QVERIFY(QTest::qWaitForWindowExposed(table.get()));
    }

    QImage cells() const { return table->viewport()->grab().toImage(); }
};

} // namespace

class TestLineStatusDelegate : public QObject
{
    Q_OBJECT

private slots:
    void changedTextsArePaintedAsAFreshViewPaintsThem();
    void aTextWiderThanItsColumnStaysInIt();
};

void TestLineStatusDelegate::changedTextsArePaintedAsAFreshViewPaintsThem()
{
    // Figures (placed glyph by glyph) and a Chinese state (laid out) both change.
    View kept(instrument(10, false));
    const QImage before = kept.cells();
    kept.model.update({instrument(11, true)});
    QTRY_VERIFY(kept.cells() != before);

    View fresh(instrument(11, true));
    QCOMPARE(kept.cells(), fresh.cells());
}

void TestLineStatusDelegate::aTextWiderThanItsColumnStaysInIt()
{
    LineStatusModel::Instrument row = instrument(1234567890123LL, false);
    View view(row);
    const int exchanges = LineStatusModel::Exchanges;
    view.table->setColumnWidth(exchanges, 30);
    view.table->setColumnWidth(exchanges + 1, 130);
    // The neighbours' texts are short and at their far ends: only a spilled text could ink
    // the near ends of their cells.
    row.health.noAnswer = 0;
    view.model.update({row});
    QCoreApplication::processEvents();
    const QImage image = view.cells();
    const QRect before = view.table->visualRect(view.model.index(0, exchanges - 1));
    const QRect after = view.table->visualRect(view.model.index(0, exchanges + 1));
    const QRgb background = image.pixel(after.right() - 2, after.center().y());
    for (int x : {before.right() - 40, after.left()})
        for (int dx = 0; dx < 40; ++dx)
            for (int y = after.top(); y <= after.bottom(); ++y)
                QVERIFY2(image.pixel(x + dx, y) == background,
                         qPrintable(QStringLiteral("%1,%2").arg(x + dx).arg(y)));
}

QTEST_MAIN(TestLineStatusDelegate)
#include "tst_linestatusdelegate.moc"
