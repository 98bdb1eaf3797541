#include "app/appcontext.h"
#include "app/dialogabout.h"

#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

class TestDialogAbout : public QObject
{
    Q_OBJECT

private slots:
    void showsNameVersionAndLogo();
    void closeButtonEndsTheModalRun();
};

namespace {

QString labelText(const DialogAbout &dialog, const char *name)
{
    const QLabel *label = dialog.findChild<QLabel *>(QLatin1String(name));
    return label ? label->text() : QStringLiteral("<missing>");
}

} // namespace

void TestDialogAbout::showsNameVersionAndLogo()
{
    // The registry registers the images compiled into the library.
    AppContext::instance();
    DialogAbout dialog;
    QCOMPARE(dialog.windowTitle(), QStringLiteral("关于"));
    QVERIFY(!(dialog.windowFlags() & Qt::WindowContextHelpButtonHint));
    QCOMPARE(labelText(dialog, "label"), QStringLiteral("Hydrovane"));
    QCOMPARE(labelText(dialog, "labelVersion"), QStringLiteral("V1.5"));
    QCOMPARE(dialog.findChild<QPushButton *>(QStringLiteral("pushButtonClose"))->text(),
             QStringLiteral("关闭"));

    const QLabel *logo = dialog.findChild<QLabel *>(QStringLiteral("labelLogo"));
    QVERIFY(logo);
    QVERIFY(logo->styleSheet().contains(QStringLiteral("url(:/res/image/logo.png)")));
    QCOMPARE(QImage(QStringLiteral(":/res/image/logo.png")).size(), QSize(60, 60));
    QCOMPARE(logo->size(), QSize(60, 60));
}

void TestDialogAbout::closeButtonEndsTheModalRun()
{
    DialogAbout dialog;
    QPushButton *close = dialog.findChild<QPushButton *>(QStringLiteral("pushButtonClose"));
    QVERIFY(close);
    QTimer::singleShot(0, close, [close] { QTest::mouseClick(close, Qt::LeftButton); });
    // Ends the run as a failure instead of hanging when the button does nothing.
    QTimer::singleShot(5000, &dialog, &QDialog::reject);
    QCOMPARE(dialog.exec(), int(QDialog::Accepted));
    QVERIFY(!dialog.isVisible());
}

QTEST_MAIN(TestDialogAbout)
#include "tst_dialogabout.moc"
