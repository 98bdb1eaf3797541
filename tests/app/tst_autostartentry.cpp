#include "app/autostartentry.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestAutostartEntry : public QObject
{
    Q_OBJECT

private slots:
    void tickingWritesTheEntryAndUntickingRemovesIt()
    {
        QTemporaryDir config;
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        QCOMPARE(AutostartEntry::path(),
                 config.filePath(QStringLiteral("autostart/hydrovane.desktop")));
        QVERIFY(!AutostartEntry::isEnabled());
        QCOMPARE(AutostartEntry::disable(), 0);

        const QString command = AutostartEntry::command(QStringLiteral("/opt/水质 站/hydrovane"),
                                                        QStringLiteral("/srv/st"));
        QCOMPARE(command, QStringLiteral("\"/opt/水质 站/hydrovane\" --station /srv/st --connect"));
        QCOMPARE(AutostartEntry::enable(command), 0);
        QVERIFY(AutostartEntry::isEnabled());
        QFile file(AutostartEntry::path());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        QVERIFY(text.startsWith(QStringLiteral("[Desktop Entry]\n")));
        QVERIFY(text.contains(QStringLiteral("\nExec=") + command + QLatin1Char('\n')));
        QVERIFY(text.contains(QStringLiteral("\nType=Application\n")));

        QCOMPARE(AutostartEntry::disable(), 0);
        QVERIFY(!QFile::exists(AutostartEntry::path()));
        QVERIFY(!AutostartEntry::isEnabled());
        qunsetenv("XDG_CONFIG_HOME");
    }

    void argumentsWithReservedCharactersAreQuoted()
    {
        QCOMPARE(
            AutostartEntry::command(QStringLiteral("/a/hydrovane"), QStringLiteral("/s/100%$x")),
            QStringLiteral("/a/hydrovane --station \"/s/100%%\\\\$x\" --connect"));
    }
};

QTEST_GUILESS_MAIN(TestAutostartEntry)
#include "tst_autostartentry.moc"
