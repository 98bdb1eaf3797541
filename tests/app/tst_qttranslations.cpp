#include "app/qttranslations.h"

#include <QDialogButtonBox>
#include <QPushButton>
#include <QtTest>

class TestQtTranslations : public QObject
{
    Q_OBJECT

private slots:
    void qtsOwnButtonsAreChinese();
};

void TestQtTranslations::qtsOwnButtonsAreChinese()
{
    QVERIFY(!QtTranslations::install(QDir::tempPath() + "/no-translations-here"));
    QVERIFY(QtTranslations::install());
    QVERIFY(QtTranslations::install()); // once only
    QDialogButtonBox buttons(QDialogButtonBox::Ok | QDialogButtonBox::Cancel |
                             QDialogButtonBox::Yes | QDialogButtonBox::No);
    QCOMPARE(buttons.button(QDialogButtonBox::Ok)->text(), QString("确定"));
    QCOMPARE(buttons.button(QDialogButtonBox::Cancel)->text(), QString("取消"));
    QVERIFY(buttons.button(QDialogButtonBox::Yes)->text().startsWith("是"));
    QVERIFY(buttons.button(QDialogButtonBox::No)->text().startsWith("否"));
}

QTEST_MAIN(TestQtTranslations)
#include "tst_qttranslations.moc"
