#include "history/exportnames.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

class TestExportNames : public QObject
{
    Q_OBJECT

private slots:
    void filePartsStayInsideTheFolder_data();
    void filePartsStayInsideTheFolder();
    void longFilePartsAreCutOnCharacterBoundaries();
    void reservedFilesGetNumberedSuffixesAndNeverOverwrite();
    void reservingInAMissingFolderReturnsAFreeName();
    void sheetTitlesFollowTheWorkbookRules_data();
    void sheetTitlesFollowTheWorkbookRules();
    void sheetTitlesAreUniqueWithoutRegardToCase();
};

void TestExportNames::filePartsStayInsideTheFolder_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("part");
    QTest::newRow("plain") << "1号池"
                           << "1号池";
    QTest::newRow("parent") << "../x"
                            << "x";
    QTest::newRow("separator") << "a/b"
                               << "ab";
    QTest::newRow("dots only") << ".."
                               << "";
    QTest::newRow("windows") << "a\\b:c*d?e\"f<g>h|i"
                             << "abcdefghi";
    QTest::newRow("control") << QStringLiteral("a\tb\nc") + QChar(0) + QChar(0x7f) << "abc";
    QTest::newRow("inner dots kept") << "v1.2 出口"
                                     << "v1.2 出口";
}

void TestExportNames::filePartsStayInsideTheFolder()
{
    QFETCH(QString, name);
    QFETCH(QString, part);
    QCOMPARE(ExportNames::filePart(name), part);
}

void TestExportNames::longFilePartsAreCutOnCharacterBoundaries()
{
    // 3 UTF-8 bytes each; an emoji is a surrogate pair of 4 bytes.
    const QString chinese(100, QChar(0x6c60));
    QCOMPARE(ExportNames::filePart(chinese).toUtf8().size(), 198);
    const QString emoji = QString::fromUtf8("\xF0\x9F\x8C\x8A");
    QString mixed = QStringLiteral("ab");
    for (int i = 0; i < 60; ++i)
        mixed += emoji;
    const QString cut = ExportNames::filePart(mixed);
    QCOMPARE(cut.toUtf8().size(), 198);
    QVERIFY(!cut.back().isHighSurrogate());
    QCOMPARE(QString::fromUtf8(cut.toUtf8()), cut);
}

void TestExportNames::reservedFilesGetNumberedSuffixesAndNeverOverwrite()
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/";
    QFile existing(folder + "所有_1_2.xlsx");
    QVERIFY(existing.open(QIODevice::WriteOnly));
    existing.write("keep");
    existing.close();
    // A dangling link would lead a write out of the folder.
    QVERIFY(QFile::link(dir.path() + "/elsewhere", folder + "所有_1_2(2).xlsx"));

    const QString first = ExportNames::reserveFile(folder, "所有_1_2");
    const QString second = ExportNames::reserveFile(folder, "所有_1_2");
    QCOMPARE(first, folder + "所有_1_2(1).xlsx");
    QCOMPARE(second, folder + "所有_1_2(3).xlsx");
    QVERIFY(QFileInfo(first).isFile());
    QCOMPARE(QFileInfo(first).size(), 0);
    QVERIFY(!QFileInfo::exists(dir.path() + "/elsewhere"));
    QCOMPARE(existing.open(QIODevice::ReadOnly) ? existing.readAll() : QByteArray(), "keep");
}

void TestExportNames::reservingInAMissingFolderReturnsAFreeName()
{
    QTemporaryDir dir;
    const QString folder = dir.path() + "/missing/";
    QCOMPARE(ExportNames::reserveFile(folder, "a"), folder + "a.xlsx");
    QVERIFY(!QFileInfo::exists(folder));
}

void TestExportNames::sheetTitlesFollowTheWorkbookRules_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("title");
    QTest::newRow("plain") << "1号池"
                           << "1号池";
    QTest::newRow("forbidden") << "[a]:b*c?d/e\\f"
                               << "abcdef";
    QTest::newRow("control") << "a\tb"
                             << "ab";
    QTest::newRow("apostrophes") << "''a'b''"
                                 << "a'b";
    QTest::newRow("empty") << ""
                           << "未命名";
    QTest::newRow("nothing left") << "'/?'"
                                  << "未命名";
    QTest::newRow("31 kept") << QString(31, 'x') << QString(31, 'x');
    QTest::newRow("32 cut") << QString(40, QChar(0x6c60)) << QString(31, QChar(0x6c60));
    QTest::newRow("apostrophe at the cut") << QString(30, 'x') + "'y" << QString(30, 'x');
}

void TestExportNames::sheetTitlesFollowTheWorkbookRules()
{
    QFETCH(QString, name);
    QFETCH(QString, title);
    QCOMPARE(ExportNames::sheetTitle(name, QStringList()), title);
}

void TestExportNames::sheetTitlesAreUniqueWithoutRegardToCase()
{
    QCOMPARE(ExportNames::sheetTitle("SHEET1", {"Sheet1"}), QString("SHEET1(1)"));
    QCOMPARE(ExportNames::sheetTitle("a/b", {"Sheet1", "ab", "AB(1)"}), QString("ab(2)"));
    // The suffix takes room from the name, never a half surrogate pair.
    const QString emoji = QString::fromUtf8("\xF0\x9F\x8C\x8A");
    const QString name = QString(27, 'x') + emoji + emoji + "z";
    const QString first = ExportNames::sheetTitle(name, {});
    QCOMPARE(first, QString(27, 'x') + emoji + emoji);
    const QString second = ExportNames::sheetTitle(name, {first});
    QCOMPARE(second, QString(27, 'x') + "(1)");
    QVERIFY(second.size() <= ExportNames::kSheetTitleLimit);
}

QTEST_APPLESS_MAIN(TestExportNames)
#include "tst_exportnames.moc"
