#include "acquisition/comportctrl.h"
#include "acquisition/configfile.h"
#include "acquisition/monitorbase.h"
#include "acquisition/monitorcollection.h"
#include "app/appcontext.h"
#include "testsupport.h"

#include <QtTest>

class TestConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void comPortIsWrittenByteForByte();
    void comPortIsReadWithTheLibrarysNumberRules();
    void monitorsAreWrittenByteForByteWithRawUtf8();
    void unknownKeysAndModelsSurviveUntilTheListIsRewritten();
    void removalMatchesModelIdAndChannel();
    void missingFileGivesDefaultsSilently();
    void unparsableFileIsKeptAndReported_data();
    void unparsableFileIsKeptAndReported();
    void badEntriesAreSkippedAndReported_data();
    void badEntriesAreSkippedAndReported();
    void outOfRangeNumbersAreReported();
    void wronglyTypedSettingsKeepTheirDefaults();
    void unwritableFileIsLeftAsItWas();
    void registryLoadsBothFiles();

private:
    static QString text(const ConfigFile &file)
    {
        return QString::fromStdString(file.getDocument().dump());
    }
};

void TestConfigFile::comPortIsWrittenByteForByte()
{
    TempStation station;
    QVERIFY(QDir(station.path()).mkpath("config"));
    ConfigFile file(AppContext::instance().path(ComPortConfig).toUtf8().constData());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    ctrl.setPort("COM3");
    ctrl.setBaudrate(4800);
    ctrl.setStopbit(1);
    ctrl.setParity('E');
    file.writeComPort(&ctrl);
    QCOMPARE(file.save(), 0);
    QCOMPARE(station.readFile("config/ComPort.json"), QByteArray("{\n"
                                                                 "    \"baudrate\": 4800,\n"
                                                                 "    \"comport\": \"COM3\",\n"
                                                                 "    \"databit\": 8,\n"
                                                                 "    \"parity\": \"E\",\n"
                                                                 "    \"stopbit\": 1\n"
                                                                 "}"));
}

void TestConfigFile::comPortIsReadWithTheLibrarysNumberRules()
{
    TempStation station;
    // Booleans count as 0/1, fractions are truncated, an empty parity gives NUL, and text
    // after the first value is not read.
    station.writeFile("config/ComPort.json",
                      R"({"comport": "/dev/ttyUSB0", "baudrate": 19200.9, "databit": 7,
                          "stopbit": true, "parity": ""} trailing text)");
    ConfigFile file(station.filePath("config/ComPort.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    file.readComPort(&ctrl);
    QCOMPARE(QString(ctrl.getPort()), QString("/dev/ttyUSB0"));
    QCOMPARE(ctrl.getBaudrate(), 19200);
    QCOMPARE(ctrl.getDatabit(), 7);
    QCOMPARE(ctrl.getStopbit(), 1);
    QCOMPARE(ctrl.getParity(), '\0');
    QVERIFY(file.problems().empty());
}

void TestConfigFile::monitorsAreWrittenByteForByteWithRawUtf8()
{
    TempStation station;
    QVERIFY(QDir(station.path()).mkpath("config"));
    ConfigFile file(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    collection.setInterval(5);
    collection.create("DI590", "一号池", 3, -1, true, false);
    file.writeMonitors(&collection);
    QCOMPARE(file.save(), 0);
    QCOMPARE(station.readFile("config/Monitor.json"),
             QByteArray("{\n"
                        "    \"interval\": 5,\n"
                        "    \"monitor\": [\n"
                        "        {\n"
                        "            \"channel\": -1,\n"
                        "            \"id\": 3,\n"
                        "            \"model\": \"DI590\",\n"
                        "            \"record\": false,\n"
                        "            \"running\": true,\n"
                        "            \"username\": \"一号池\"\n"
                        "        }\n"
                        "    ]\n"
                        "}"));
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::unknownKeysAndModelsSurviveUntilTheListIsRewritten()
{
    TempStation station;
    station.writeFile("config/Monitor.json",
                      R"({"interval": 10, "site": "东厂", "monitor": [
                          {"model": "XY100", "username": "future", "id": 9, "channel": 0,
                           "running": true, "record": true},
                          {"model": "RA550", "username": "r", "id": 4, "channel": -1,
                           "running": false, "record": true, "colour": "red"}]})");
    ConfigFile file(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QVERIFY(file.problems().empty()); // an unknown model is skipped without a word
    QCOMPARE(collection.getInterval(), 10);
    QCOMPARE(collection.getMonitors().size(), size_t(1));
    QVERIFY(!collection.getMonitors()[0]->isRunning());

    MonitorBase *added = collection.create("DO580", "新", 5, -1, true, true);
    file.appendMonitor(added);
    QVERIFY(text(file).contains("XY100"));
    QVERIFY(text(file).contains("colour"));
    QCOMPARE(file.getDocument()["monitor"].size(), size_t(3));

    file.writeMonitors(&collection);
    QVERIFY(!text(file).contains("XY100"));
    QVERIFY(!text(file).contains("colour"));
    QVERIFY(text(file).contains("东厂")); // unknown top-level keys stay
    QCOMPARE(file.getDocument()["monitor"].size(), size_t(2));
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::removalMatchesModelIdAndChannel()
{
    TempStation station;
    station.writeFile("config/Monitor.json",
                      R"({"interval": 30, "monitor": [
                          {"model": "DI590", "username": "a", "id": 1, "channel": 3,
                           "running": true, "record": true},
                          {"model": "DI590", "username": "b", "id": 1, "channel": -1.0,
                           "running": true, "record": true},
                          {"model": "DI590", "username": "c", "id": 1, "channel": -1,
                           "running": true, "record": true}]})");
    ConfigFile file(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QCOMPARE(collection.getMonitors().size(), size_t(3));
    // Loaded with channel -1, the first monitor no longer matches its stored channel 3; the
    // first entry that does match (channel -1.0 equals -1) goes, and only that one.
    file.removeMonitor(collection.getMonitors()[0]);
    const nlohmann::json &list = file.getDocument()["monitor"];
    QCOMPARE(list.size(), size_t(2));
    QCOMPARE(list[0]["username"], nlohmann::json("a"));
    QCOMPARE(list[1]["username"], nlohmann::json("c"));
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::missingFileGivesDefaultsSilently()
{
    TempStation station;
    QVERIFY(QDir(station.path()).mkpath("config"));
    ConfigFile ports(station.filePath("config/ComPort.json").toUtf8().constData());
    ConfigFile monitors(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(ports.load(), 0);
    QCOMPARE(monitors.load(), 0);
    ComPortCtrl ctrl;
    ports.readComPort(&ctrl);
    QCOMPARE(QString(ctrl.getPort()), QString("COM1"));
    QCOMPARE(ctrl.getBaudrate(), 9600);
    MonitorCollection collection;
    monitors.readMonitors(&collection);
    QCOMPARE(collection.getInterval(), 30);
    QVERIFY(collection.getMonitors().empty());
    QVERIFY(ports.problems().empty() && monitors.problems().empty());
    QVERIFY(!QFile::exists(station.filePath("config/Monitor.json")));

    // Adding the first monitor writes a complete file that loads without complaint.
    MonitorBase *monitor = collection.create("DI590", "a", 1, -1, true, true);
    monitors.appendMonitor(monitor);
    QCOMPARE(monitors.save(), 0);
    ConfigFile again(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(again.load(), 0);
    MonitorCollection reloaded;
    again.readMonitors(&reloaded);
    QVERIFY(again.problems().empty());
    QCOMPARE(reloaded.getInterval(), 30);
    QCOMPARE(reloaded.getMonitors().size(), size_t(1));
    qDeleteAll(collection.getMonitors());
    qDeleteAll(reloaded.getMonitors());
}

void TestConfigFile::unparsableFileIsKeptAndReported_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("syntax error") << QByteArray("{\"interval\": 30,, }");
    QTest::newRow("cut short") << QByteArray("{\"interval\": 30, \"monitor\": [");
    QTest::newRow("not an object") << QByteArray("[1, 2, 3]");
    QTest::newRow("bad UTF-8") << QByteArray("{\"interval\": \"\xff\xfe\"}");
}

void TestConfigFile::unparsableFileIsKeptAndReported()
{
    QFETCH(QByteArray, content);
    TempStation station;
    station.writeFile("config/Monitor.json", content);
    const QString path = station.filePath("config/Monitor.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), -1);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QCOMPARE(collection.getInterval(), 30);
    QVERIFY(collection.getMonitors().empty());

    QCOMPARE(file.problems().size(), size_t(2));
    QVERIFY(QString::fromStdString(file.problems()[0]).startsWith("配置文件 " + path + " "));
    QVERIFY(QString::fromStdString(file.problems()[1]).contains(path + ".invalid"));
    QCOMPARE(station.readFile("config/Monitor.json.invalid"), content);

    // Storing later replaces the broken file; its copy stays.
    file.writeMonitors(&collection);
    QCOMPARE(file.save(), 0);
    QVERIFY(station.readFile("config/Monitor.json").startsWith("{\n    \"interval\": 30"));
    QCOMPARE(station.readFile("config/Monitor.json.invalid"), content);
}

void TestConfigFile::badEntriesAreSkippedAndReported_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("problem");
    const QString good = R"("model": "DO580", "username": "n", "id": 2, "channel": -1)";
    QTest::newRow("running as a number")
        << good + R"(, "running": 1, "record": true)"
        << R"(中第 2 个仪表的 "running" 不是 true/false，该仪表未加载)";
    QTest::newRow("record missing") << good + R"(, "running": true)"
                                    << R"(中第 2 个仪表缺少 "record"，该仪表未加载)";
    QTest::newRow("name as a number")
        << R"("model": "DO580", "username": 7, "id": 2, "channel": -1, "running": true,
              "record": true)"
        << R"(中第 2 个仪表的 "username" 不是文本，该仪表未加载)";
    QTest::newRow("id as text")
        << R"("model": "DO580", "username": "n", "id": "2", "channel": -1, "running": true,
              "record": true)"
        << R"(中第 2 个仪表的 "id" 不是整数，该仪表未加载)";
}

void TestConfigFile::badEntriesAreSkippedAndReported()
{
    QFETCH(QString, entry);
    QFETCH(QString, problem);
    TempStation station;
    const QString content = R"({"interval": 30, "monitor": [
        {"model": "DI590", "username": "a", "id": 1, "channel": -1, "running": true,
         "record": true}, {)" +
                            entry + R"(}, [],
        {"model": "RA550", "username": "c", "id": 3, "channel": -1, "running": true,
         "record": false}]})";
    station.writeFile("config/Monitor.json", content.toUtf8());
    const QString path = station.filePath("config/Monitor.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);

    QCOMPARE(collection.getMonitors().size(), size_t(2));
    QCOMPARE(collection.getMonitors()[1]->getUsername(), std::string("c"));
    QCOMPARE(file.problems().size(), size_t(3));
    QCOMPARE(QString::fromStdString(file.problems()[0]), "配置文件 " + path + " " + problem);
    QCOMPARE(QString::fromStdString(file.problems()[2]),
             "配置文件 " + path + " 中第 3 个仪表不是 JSON 对象，该仪表未加载");
    QCOMPARE(station.readFile("config/Monitor.json.invalid"), content.toUtf8());
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::outOfRangeNumbersAreReported()
{
    TempStation station;
    station.writeFile("config/Monitor.json", R"({"interval": 1000000000, "monitor": [
        {"model": "DI590", "username": "a", "id": 300, "channel": -1, "running": true,
         "record": true}]})");
    ConfigFile file(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QCOMPARE(collection.getInterval(), 86400);
    QCOMPARE(file.getDocument()["interval"], nlohmann::json(86400));
    // Loaded, so the operator sees it and can remove it; it cannot be addressed.
    QCOMPARE(collection.getMonitors().size(), size_t(1));
    QStringList problems;
    for (const std::string &problem : file.problems())
        problems << QString::fromStdString(problem);
    QCOMPARE(problems.size(), 3);
    QVERIFY(problems[0].contains("\"interval\" 为 1000000000 秒，超出 0 到 86400，改用 86400"));
    QVERIFY(problems[2].contains("第 1 个仪表的 \"id\" 为 300，不在 1 到 247 之间"));

    station.writeFile("config/Monitor.json", R"({"interval": -5, "monitor": []})");
    ConfigFile negative(station.filePath("config/Monitor.json").toUtf8().constData());
    QCOMPARE(negative.load(), 0);
    MonitorCollection other;
    negative.readMonitors(&other);
    QCOMPARE(other.getInterval(), 0);
    QCOMPARE(negative.problems().size(), size_t(2));
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::wronglyTypedSettingsKeepTheirDefaults()
{
    TempStation station;
    station.writeFile("config/ComPort.json",
                      R"({"comport": 3, "baudrate": "fast", "databit": 8, "stopbit": 1e12})");
    ConfigFile file(station.filePath("config/ComPort.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    file.readComPort(&ctrl);
    QCOMPARE(QString(ctrl.getPort()), QString("COM1"));
    QCOMPARE(ctrl.getBaudrate(), 9600);
    QCOMPARE(ctrl.getStopbit(), 2);
    QCOMPARE(ctrl.getParity(), 'N');
    QStringList problems;
    for (const std::string &problem : file.problems())
        problems << QString::fromStdString(problem);
    QCOMPARE(problems.size(), 5); // four values and the copy
    QVERIFY(problems[0].endsWith("中缺少 \"parity\"，改用 N"));
    QVERIFY(problems[2].endsWith("中的 \"comport\" 不是文本，改用 COM1"));
    QVERIFY(problems[3].endsWith("中的 \"baudrate\" 不是整数，改用 9600"));
    QVERIFY(problems[4].endsWith("中的 \"stopbit\" 超出范围，改用 2"));
}

void TestConfigFile::unwritableFileIsLeftAsItWas()
{
    TempStation station;
    ConfigFile file(station.filePath("no-such-folder/ComPort.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    file.writeComPort(&ctrl);
    QCOMPARE(file.save(), -1);
    QVERIFY(!QFile::exists(station.filePath("no-such-folder/ComPort.json")));
}

void TestConfigFile::registryLoadsBothFiles()
{
    TempStation station;
    station.writeFile("config/Monitor.json", R"({"interval": 7, "monitor": []})");
    QCOMPARE(AppContext::instance().init(), 0);
    auto *ports = static_cast<ConfigFile *>(AppContext::instance().object(ComPortConfig));
    auto *monitors = static_cast<ConfigFile *>(AppContext::instance().object(MonitorConfig));
    QVERIFY(ports && monitors);
    QCOMPARE(QString::fromStdString(ports->getPath()), AppContext::instance().path(ComPortConfig));
    QCOMPARE(monitors->getDocument()["interval"], nlohmann::json(7));
}

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
