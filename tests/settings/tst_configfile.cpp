#include "acquisition/alarmrules.h"
#include "app/appcontext.h"
#include "instruments/monitorbase.h"
#include "instruments/monitorcollection.h"
#include "line/comportctrl.h"
#include "settings/configfile.h"
#include "settings/mqttsettings.h"
#include "testsupport.h"

#include <QtTest>

class TestConfigFile : public QObject
{
    Q_OBJECT

private slots:
    void comPortIsWrittenByteForByte();
    void comPortIsReadWithTheLibrarysNumberRules();
    void timeoutIsOptionalAndStoredOnlyOnceSet();
    void monitorsAreWrittenByteForByteWithRawUtf8();
    void unknownKeysAndEntriesSurviveEveryStore();
    void alarmFiltersForAllOrPerMonitorAreReadCheckedAndWrittenBack();
    void removalTakesTheMonitorsOwnEntry();
    void sharedAndControlCharacterNamesAreReported();
    void missingFileGivesDefaultsSilently();
    void unparsableFileIsKeptAndReported_data();
    void unparsableFileIsKeptAndReported();
    void badEntriesAreSkippedAndReported_data();
    void badEntriesAreSkippedAndReported();
    void outOfRangeNumbersAreReported();
    void outOfRangeSerialSettingsFallBackToDefaults_data();
    void outOfRangeSerialSettingsFallBackToDefaults();
    void everyFailingStartKeepsItsOwnCopy();
    void depthAndSizeAreLimited();
    void wronglyTypedSettingsKeepTheirDefaults();
    void unwritableFileIsLeftAsItWas();
    void registryLoadsBothFiles();
    void mqttSettingsRoundTripAndAMissingFileIsOff();
    void badMqttFileIsReportedAndPublishingStaysOff_data();
    void badMqttFileIsReportedAndPublishingStaysOff();
    void oneLineFilesLoadAsTheFirstLineAndAreWrittenBackUnchanged();
    void linesFileAddsSerialAndGatewayLines();
    void refusedLinesAreReportedAndStayInTheFile_data();
    void refusedLinesAreReportedAndStayInTheFile();
    void monitorsOfMissingLinesStayUnpolledAndReported();
    void idsRepeatAcrossLinesButNotOnOne();
    void tenThousandMonitorsRoundTrip();

private:
    static QString text(const ConfigFile &file)
    {
        return QString::fromStdString(file.getDocument().dump());
    }
    static QStringList problems(const ConfigFile &file)
    {
        QStringList list;
        for (const std::string &problem : file.problems())
            list << QString::fromStdString(problem);
        return list;
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
    // Booleans count as 0/1, a whole number may have a fraction part of zero (a fraction is a
    // problem, below), the parity is its first character, and text after the first value is
    // not read.
    station.writeFile("config/ComPort.json",
                      R"({"comport": "/dev/ttyUSB0", "baudrate": 19200.0, "databit": 7,
                          "stopbit": true, "parity": "Even"} trailing text)");
    ConfigFile file(station.filePath("config/ComPort.json").toUtf8().constData());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    file.readComPort(&ctrl);
    QCOMPARE(QString(ctrl.getPort()), QString("/dev/ttyUSB0"));
    QCOMPARE(ctrl.getBaudrate(), 19200);
    QCOMPARE(ctrl.getDatabit(), 7);
    QCOMPARE(ctrl.getStopbit(), 1);
    QCOMPARE(ctrl.getParity(), 'E');
    QVERIFY(file.problems().empty());
}

void TestConfigFile::timeoutIsOptionalAndStoredOnlyOnceSet()
{
    TempStation station;
    const QByteArray withoutKey = R"({"comport": "COM2", "baudrate": 9600, "databit": 8,
                                      "stopbit": 2, "parity": "N"})";
    station.writeFile("config/ComPort.json", withoutKey);
    const std::string path = station.filePath("config/ComPort.json").toStdString();
    {
        ConfigFile file(path.c_str());
        QCOMPARE(file.load(), 0);
        ComPortCtrl ctrl;
        file.readComPort(&ctrl);
        QVERIFY(file.problems().empty());
        QCOMPARE(ctrl.getTimeout(), 1.0);
        // Another setting changed: the file still has no timeout.
        ctrl.setBaudrate(4800);
        file.writeComPort(&ctrl);
        QVERIFY(!file.getDocument().contains("timeout"));
        ctrl.setTimeout(0.25);
        file.writeComPort(&ctrl);
        QCOMPARE(file.save(), 0);
    }
    ConfigFile file(path.c_str());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    file.readComPort(&ctrl);
    QVERIFY(file.problems().empty());
    QCOMPARE(ctrl.getTimeout(), 0.25);
    QCOMPARE(ctrl.getBaudrate(), 4800);
    // Back at one second, the key stays: it was the operator's.
    ctrl.setTimeout(1.0);
    file.writeComPort(&ctrl);
    QCOMPARE(file.getDocument().at("timeout").get<double>(), 1.0);

    for (const char *bound : {"0.2", "5"}) {
        station.writeFile("config/ComPort.json", withoutKey.left(withoutKey.size() - 1) +
                                                     R"(, "timeout": )" + bound + "}");
        ConfigFile edge(path.c_str());
        QCOMPARE(edge.load(), 0);
        ComPortCtrl line;
        edge.readComPort(&line);
        QVERIFY(edge.problems().empty());
        QCOMPARE(line.getTimeout(), QByteArray(bound).toDouble());
    }
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

void TestConfigFile::alarmFiltersForAllOrPerMonitorAreReadCheckedAndWrittenBack()
{
    TempStation station;
    station.writeFile("config/Monitor.json",
                      R"({"interval": 10, "alarmFilter": {"onDelay": 3, "chatterRaises": 0},
                          "monitor": [
                          {"model": "DI590", "username": "a", "id": 1, "channel": -1,
                           "running": true, "record": true},
                          {"model": "DI590", "username": "b", "id": 2, "channel": -1,
                           "running": true, "record": true,
                           "alarmFilter": {"onDelay": 2, "chatterHold": 0, "chatterWindow": "x"}}
                          ]})");
    const QString path = station.filePath("config/Monitor.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QCOMPARE(collection.getAlarmFilter().onDelay, 3);
    QCOMPARE(collection.getAlarmFilter().chatterRaises, 0);
    QCOMPARE(collection.getAlarmFilter().chatterHold, 60);
    QCOMPARE(AlarmRules::instance().defaultFilter(), collection.getAlarmFilter());
    const std::vector<MonitorBase *> &monitors = collection.getMonitors();
    QCOMPARE(monitors.size(), size_t(2));
    QVERIFY(!monitors[0]->ownAlarmFilter());
    // A monitor's own starts from the station's; what is wrong in it is told and kept so.
    const AlarmFilter *own = monitors[1]->ownAlarmFilter();
    QVERIFY(own);
    QCOMPARE(own->onDelay, 2);
    QCOMPARE(own->chatterRaises, 0);
    QCOMPARE(own->chatterHold, 60);
    QCOMPARE(own->chatterWindow, 600);
    const std::string where = "配置文件 " + path.toStdString() + " 中第 2 个仪表";
    // Besides the note that the file was kept aside.
    QCOMPARE(file.problems().size(), size_t(3));
    QCOMPARE(file.problems()[0], where + "的 \"alarmFilter.chatterWindow\" 不是整数，改用 600");
    QCOMPARE(file.problems()[2],
             where + "的 \"alarmFilter.chatterHold\" 为 0，不在 1 到 3600 之间，改用 60");

    // Written back whole; a monitor that follows the station again loses its own.
    monitors[1]->setOwnAlarmFilter(nullptr);
    AlarmFilter first;
    first.onDelay = 4;
    monitors[0]->setOwnAlarmFilter(&first);
    file.writeMonitors(&collection);
    const nlohmann::json &document = file.getDocument();
    QCOMPARE(
        document["alarmFilter"],
        nlohmann::json(
            {{"onDelay", 3}, {"chatterRaises", 0}, {"chatterWindow", 600}, {"chatterHold", 60}}));
    QCOMPARE(document["monitor"][0]["alarmFilter"]["onDelay"], nlohmann::json(4));
    QVERIFY(!document["monitor"][1].contains("alarmFilter"));
    qDeleteAll(collection.getMonitors());
    AlarmRules::instance().reset();
}

void TestConfigFile::unknownKeysAndEntriesSurviveEveryStore()
{
    TempStation station;
    station.writeFile("config/Monitor.json",
                      R"({"interval": 10, "site": "东厂", "monitor": [
                          {"model": "XY100", "username": "future", "id": 9, "channel": 0,
                           "running": true, "record": true},
                          {"model": "RA550", "username": "r", "id": 4, "channel": -1,
                           "running": false, "record": true, "colour": "red"},
                          {"model": "DI590", "username": "x", "id": 6, "channel": -1,
                           "running": 1, "record": true}]})");
    const QString path = station.filePath("config/Monitor.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QCOMPARE(collection.getInterval(), 10);
    QCOMPARE(collection.getMonitors().size(), size_t(1));
    QVERIFY(!collection.getMonitors()[0]->isRunning());
    QCOMPARE(QString::fromStdString(file.problems()[0]),
             "配置文件 " + path +
                 " 中第 1 个仪表的型号 \"XY100\" 未知，该仪表未加载，它的设置仍保留在文件中");

    // Appending, rewriting the whole list and removing keep what was not loaded in place.
    MonitorBase *added = collection.create("DO580", "新", 5, -1, true, true);
    file.appendMonitor(added);
    collection.getMonitors()[0]->setUsername("改名");
    file.writeMonitors(&collection);
    const auto names = [&file] {
        QStringList list;
        for (const nlohmann::json &entry : file.getDocument()["monitor"])
            list << QString::fromStdString(entry["username"].get<std::string>());
        return list;
    };
    QCOMPARE(names(), QStringList({"future", "改名", "x", "新"}));
    const nlohmann::json &list = file.getDocument()["monitor"];
    QCOMPARE(list[0]["model"], nlohmann::json("XY100"));
    QCOMPARE(list[1]["colour"], nlohmann::json("red"));
    QCOMPARE(list[2]["running"], nlohmann::json(1));
    QVERIFY(text(file).contains("东厂"));

    MonitorBase *removed = collection.getMonitors()[0];
    file.removeMonitor(removed);
    collection.remove(removed);
    delete removed;
    file.writeMonitors(&collection);
    QCOMPARE(names(), QStringList({"future", "x", "新"}));
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::removalTakesTheMonitorsOwnEntry()
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
    // Same model, id and channel: only identity tells the entries apart.
    MonitorBase *third = collection.getMonitors()[2];
    file.removeMonitor(third);
    collection.remove(third);
    MonitorBase *first = collection.getMonitors()[0];
    file.removeMonitor(first);
    collection.remove(first);
    const nlohmann::json &list = file.getDocument()["monitor"];
    QCOMPARE(list.size(), size_t(1));
    QCOMPARE(list[0]["username"], nlohmann::json("b"));
    // Removed twice, or never in the file: nothing more goes.
    file.removeMonitor(first);
    MonitorBase *stranger = collection.create("DI590", "b", 1, -1, true, true);
    file.removeMonitor(stranger);
    QCOMPARE(list.size(), size_t(1));

    delete first;
    delete third;
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::sharedAndControlCharacterNamesAreReported()
{
    TempStation station;
    const auto entry = [](const char *name, int id) {
        return QByteArray(R"({"model": "DI590", "username": ")") + name + R"(", "id": )" +
               QByteArray::number(id) + R"(, "channel": -1, "running": true, "record": true})";
    };
    station.writeFile("config/Monitor.json", R"({"interval": 30, "monitor": [)" + entry("池", 1) +
                                                 "," + entry(R"(a\u0000b)", 2) + "," +
                                                 entry("池", 3) + "," + entry("a", 4) + "," +
                                                 entry("池", 5) + "]}");
    const QString path = station.filePath("config/Monitor.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    // A shared name is loaded, the operator renames; a name with a control character is not:
    // "a\0b" would be stored as "a", the fourth one's name.
    QCOMPARE(collection.getMonitors().size(), size_t(4));
    QStringList names;
    for (const MonitorBase *monitor : collection.getMonitors())
        names << QString::fromStdString(monitor->getUsername());
    QCOMPARE(names, QStringList({"池", "池", "a", "池"}));
    QStringList problems;
    for (const std::string &problem : file.problems())
        problems << QString::fromStdString(problem);
    QCOMPARE(problems.size(), 3);
    QCOMPARE(problems[0], "配置文件 " + path +
                              " 中第 2 个仪表的名称 \"a\\u0000b\" 含有控制字符，该仪表未加载，"
                              "它的设置仍保留在文件中；请在文件中为它改名");
    QVERIFY(problems[1].contains("原内容已另存为"));
    QCOMPARE(problems[2], "配置文件 " + path +
                              " 中第 1、3、5 个仪表同名 \"池\"，它们的历史数据会混在一起，请改名");
    // Kept in the file, and told again at the next start.
    file.writeMonitors(&collection);
    QCOMPARE(file.save(), 0);
    ConfigFile again(path.toUtf8().constData());
    QCOMPARE(again.load(), 0);
    MonitorCollection next;
    again.readMonitors(&next);
    QCOMPARE(next.getMonitors().size(), size_t(4));
    QVERIFY(!again.problems().empty() &&
            QString::fromStdString(again.problems()[0]).contains("a\\u0000b"));
    qDeleteAll(next.getMonitors());
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
    QTest::newRow("nested too deep") << QByteArray("{\"monitor\": [], \"x\": ") +
                                            QByteArray(64, '[') + QByteArray(64, ']') + "}";
    QTest::newRow("too large") << QByteArray("{\"interval\": 5}") +
                                      QByteArray(int(ConfigFile::maxFileSize), ' ');
}

void TestConfigFile::unparsableFileIsKeptAndReported()
{
    QFETCH(QByteArray, content);
    TempStation station;
    station.writeFile("config/Monitor.json", content);
    const QString path = station.filePath("config/Monitor.json");
    // Made by hand and open to everyone; its copy never is, whatever the umask.
    const QFile::Permissions others = QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    QVERIFY(QFile::setPermissions(path,
                                  QFile::permissions(path) | QFile::ReadOther | QFile::WriteOther));
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), -1);
    QCOMPARE(int(QFile::permissions(path + ".invalid") & others), 0);
    MonitorCollection collection;
    file.readMonitors(&collection);
    QCOMPARE(collection.getInterval(), 30);
    QVERIFY(collection.getMonitors().empty());

    QCOMPARE(file.problems().size(), size_t(2));
    QVERIFY(QString::fromStdString(file.problems()[0]).startsWith("配置文件 " + path + " "));
    QVERIFY(QString::fromStdString(file.problems()[1]).contains(path + ".invalid"));
    QCOMPARE(station.readFile("config/Monitor.json.invalid"), content);

    // Nothing replaces the file before the operator was told; then its copy stays.
    MonitorBase *monitor = collection.create("DI590", "a", 1, -1, true, true);
    file.appendMonitor(monitor);
    QCOMPARE(file.save(), -1);
    QCOMPARE(station.readFile("config/Monitor.json"), content);
    file.markProblemsShown();
    QVERIFY(file.problems().empty());
    QCOMPARE(file.save(), 0);
    QVERIFY(station.readFile("config/Monitor.json").startsWith("{\n    \"interval\": 30"));
    QCOMPARE(station.readFile("config/Monitor.json.invalid"), content);
    delete monitor;
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

void TestConfigFile::outOfRangeSerialSettingsFallBackToDefaults_data()
{
    QTest::addColumn<QByteArray>("pair");
    QTest::addColumn<QString>("problem");
    QTest::newRow("parity Z") << QByteArray(R"("parity": "Z")")
                              << R"(中的 "parity" 为 "Z"，不是 N、E 或 O，改用 N)";
    QTest::newRow("parity empty") << QByteArray(R"("parity": "")")
                                  << R"(中的 "parity" 为 ""，不是 N、E 或 O，改用 N)";
    QTest::newRow("baud 123") << QByteArray(R"("baudrate": 123)")
                              << R"(中的 "baudrate" 为 123，不是标准波特率，改用 9600)";
    QTest::newRow("data bits 99") << QByteArray(R"("databit": 99)")
                                  << R"(中的 "databit" 为 99，不在 5 到 8 之间，改用 8)";
    QTest::newRow("stop bits -1") << QByteArray(R"("stopbit": -1)")
                                  << R"(中的 "stopbit" 为 -1，不是 1 或 2，改用 2)";
    QTest::newRow("data bits 8.7")
        << QByteArray(R"("databit": 8.7)") << R"(中的 "databit" 为 8.7，不是整数，改用 8)";
    QTest::newRow("stop bits 1.5")
        << QByteArray(R"("stopbit": 1.5)") << R"(中的 "stopbit" 为 1.5，不是整数，改用 2)";
    QTest::newRow("baud 9600.5") << QByteArray(R"("baudrate": 9600.5)")
                                 << R"(中的 "baudrate" 为 9600.5，不是整数，改用 9600)";
    QTest::newRow("empty port") << QByteArray(R"("comport": "")")
                                << R"(中的 "comport" 为空，改用 COM1)";
    QTest::newRow("timeout 10 s") << QByteArray(R"("timeout": 10)")
                                  << R"(中的 "timeout" 为 10 秒，不在 0.2 到 5 之间，改用 1 秒)";
    QTest::newRow("timeout as text")
        << QByteArray(R"("timeout": "0.5")") << R"(中的 "timeout" 不是数字，改用 1 秒)";
    QTest::newRow("port with a newline")
        << QByteArray(R"("comport": "/dev/ttyUSB0\n")")
        << R"(中的 "comport" 为 "/dev/ttyUSB0\n"，含有控制字符，改用 COM1)";
}

void TestConfigFile::outOfRangeSerialSettingsFallBackToDefaults()
{
    QFETCH(QByteArray, pair);
    QFETCH(QString, problem);
    TempStation station;
    // One bad value among good ones; keys later in the object win.
    const QByteArray content = R"({"comport": "COM4", "baudrate": 115200, "databit": 7,
                                   "stopbit": 1, "parity": "O", )" +
                               pair + "}";
    station.writeFile("config/ComPort.json", content);
    const QString path = station.filePath("config/ComPort.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    ComPortCtrl ctrl;
    file.readComPort(&ctrl);
    QCOMPARE(file.problems().size(), size_t(2));
    QCOMPARE(QString::fromStdString(file.problems()[0]), "配置文件 " + path + " " + problem);
    QCOMPARE(station.readFile("config/ComPort.json.invalid"), content);

    // The bad value is the default now, every other one as stored.
    const QString key = QString::fromLatin1(pair).section('"', 1, 1);
    ComPortCtrl defaults;
    QCOMPARE(QString(ctrl.getPort()), key == "comport" ? QString(defaults.getPort()) : "COM4");
    QCOMPARE(ctrl.getBaudrate(), key == "baudrate" ? defaults.getBaudrate() : 115200);
    QCOMPARE(ctrl.getDatabit(), key == "databit" ? defaults.getDatabit() : 7);
    QCOMPARE(ctrl.getStopbit(), key == "stopbit" ? defaults.getStopbit() : 1);
    QCOMPARE(ctrl.getParity(), key == "parity" ? defaults.getParity() : 'O');
    QCOMPARE(ctrl.getTimeout(), 1.0);
}

void TestConfigFile::everyFailingStartKeepsItsOwnCopy()
{
    TempStation station;
    const QString path = station.filePath("config/Monitor.json");
    const auto start = [&path] {
        ConfigFile file(path.toUtf8().constData());
        file.load();
        MonitorCollection collection;
        file.readMonitors(&collection);
        qDeleteAll(collection.getMonitors());
        return file.problems();
    };
    const QByteArray first = "{\"interval\": 30, \"monitor\": [{\"model\": \"DI590\"";
    const QByteArray second = "{\"interval\": \"often\", \"monitor\": []}";
    station.writeFile("config/Monitor.json", first);
    start();
    // The same bytes at the next start are not copied again.
    const std::vector<std::string> repeated = start();
    QVERIFY(QString::fromStdString(repeated.back()).endsWith(path + ".invalid"));
    station.writeFile("config/Monitor.json", second);
    const std::vector<std::string> problems = start();
    QVERIFY(QString::fromStdString(problems.back()).endsWith(path + ".invalid.1"));
    station.writeFile("config/Monitor.json", "[]");
    start();
    station.writeFile("config/Monitor.json", first);
    start();

    QCOMPARE(station.readFile("config/Monitor.json.invalid"), first);
    QCOMPARE(station.readFile("config/Monitor.json.invalid.1"), second);
    QCOMPARE(station.readFile("config/Monitor.json.invalid.2"), QByteArray("[]"));
    QCOMPARE(QDir(station.filePath("config")).entryList({"*.invalid*"}).size(), 3);
}

void TestConfigFile::depthAndSizeAreLimited()
{
    TempStation station;
    const QString path = station.filePath("config/Monitor.json");
    const auto nested = [](int levels) {
        return "{\"interval\": 5, \"monitor\": [], \"x\": " + QByteArray(levels - 1, '[') +
               QByteArray(levels - 1, ']') + "}";
    };
    const auto firstProblem = [&path](int expected) {
        ConfigFile file(path.toUtf8().constData());
        if (file.load() != expected)
            return QString("load did not return %1").arg(expected);
        return file.problems().empty() ? QString()
                                       : QString::fromStdString(file.problems().front());
    };

    // As deep as allowed: loads and is written back as it was read.
    station.writeFile("config/Monitor.json", nested(ConfigFile::maxDepth));
    {
        ConfigFile file(path.toUtf8().constData());
        QCOMPARE(file.load(), 0);
        QCOMPARE(file.save(), 0);
        QCOMPARE(firstProblem(0), QString());
    }
    station.writeFile("config/Monitor.json", nested(ConfigFile::maxDepth + 1));
    QCOMPARE(firstProblem(-1), "配置文件 " + path + " 的嵌套超过 64 层，改用默认设置");
    // Deep enough to overflow the stack of a recursive writer.
    station.writeFile("config/Monitor.json", nested(100000));
    QCOMPARE(firstProblem(-1), "配置文件 " + path + " 的嵌套超过 64 层，改用默认设置");

    // The largest file still read, then one byte more.
    const QByteArray object = "{\"interval\": 5}";
    station.writeFile("config/Monitor.json",
                      object + QByteArray(int(ConfigFile::maxFileSize) - object.size(), ' '));
    QCOMPARE(firstProblem(0), QString());
    station.writeFile("config/Monitor.json",
                      object + QByteArray(int(ConfigFile::maxFileSize) - object.size() + 1, ' '));
    QCOMPARE(firstProblem(-1), "配置文件 " + path + " 大于 1 MiB，未读取，改用默认设置");

    // A parse error at the end of a long string quotes only its start.
    station.writeFile("config/Monitor.json",
                      "{\"x\": \"" + QByteArray(int(ConfigFile::maxFileSize) - 10, 'a'));
    const QString problem = firstProblem(-1);
    QVERIFY2(problem.size() < 300, qPrintable(problem.left(400)));
    QVERIFY(problem.contains("last read: '\"aaaa"));
    QVERIFY(problem.endsWith("…'），改用默认设置"));
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

void TestConfigFile::mqttSettingsRoundTripAndAMissingFileIsOff()
{
    TempStation station;
    const QString path = station.filePath("config/Mqtt.json");
    QVERIFY(QDir(station.path()).mkpath("config"));
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MqttSettings settings;
    file.readMqtt(settings);
    QVERIFY(!settings.enabled);
    QVERIFY(file.problems().empty());
    QCOMPARE(settings, MqttSettings());
    QCOMPARE(settings.clientId, "hydrovane-" + MqttSettings::hostName());

    settings.enabled = true;
    settings.host = "broker.example";
    settings.port = 8883;
    settings.topic = "plant/water";
    settings.station = "站点 1";
    settings.username = "u";
    settings.password = "p";
    settings.tls = true;
    settings.caFile = "/etc/ca.pem";
    settings.qos = 0;
    file.writeMqtt(settings);
    QCOMPARE(file.save(), 0);
    ConfigFile again(path.toUtf8().constData());
    QCOMPARE(again.load(), 0);
    MqttSettings read;
    again.readMqtt(read);
    QVERIFY(again.problems().empty());
    QCOMPARE(read, settings);
}

void TestConfigFile::badMqttFileIsReportedAndPublishingStaysOff_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port");
    QTest::addColumn<bool>("copied");
    QTest::newRow("unparsable") << QByteArray("{\"enabled\": true,") << 1883 << true;
    QTest::newRow("wildcard prefix")
        << QByteArray(R"({"enabled": true, "host": "h", "topic": "a/+/b"})") << 1883 << true;
    QTest::newRow("empty host") << QByteArray(R"({"enabled": true, "host": ""})") << 1883 << true;
    // Values the file gets wrong on their own fall back and leave the rest usable.
    QTest::newRow("port out of range")
        << QByteArray(R"({"enabled": false, "host": "h", "port": 70000})") << 1883 << true;
    QTest::newRow("wrong types")
        << QByteArray(R"({"enabled": "yes", "host": 5, "port": "1884", "tls": 3})") << 1883 << true;
}

void TestConfigFile::badMqttFileIsReportedAndPublishingStaysOff()
{
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    QFETCH(bool, copied);
    TempStation station;
    station.writeFile("config/Mqtt.json", content);
    ConfigFile file(station.filePath("config/Mqtt.json").toUtf8().constData());
    file.load();
    MqttSettings settings;
    file.readMqtt(settings);
    QVERIFY(!settings.enabled);
    QCOMPARE(settings.port, port);
    QVERIFY(!settings.tls);
    QVERIFY(!file.problems().empty());
    QVERIFY(QString::fromStdString(file.problems()[0]).contains("Mqtt.json"));
    QCOMPARE(QFile::exists(station.filePath("config/Mqtt.json.invalid")), copied);
}

void TestConfigFile::oneLineFilesLoadAsTheFirstLineAndAreWrittenBackUnchanged()
{
    TempStation station;
    // As the station with one line writes them.
    const QByteArray ports = "{\n"
                             "    \"baudrate\": 4800,\n"
                             "    \"comport\": \"/dev/ttyUSB0\",\n"
                             "    \"databit\": 8,\n"
                             "    \"parity\": \"E\",\n"
                             "    \"stopbit\": 1,\n"
                             "    \"timeout\": 0.5\n"
                             "}";
    const QByteArray monitors = "{\n"
                                "    \"interval\": 10,\n"
                                "    \"monitor\": [\n"
                                "        {\n"
                                "            \"alarmFilter\": {\n"
                                "                \"chatterHold\": 60,\n"
                                "                \"chatterRaises\": 4,\n"
                                "                \"chatterWindow\": 600,\n"
                                "                \"onDelay\": 2\n"
                                "            },\n"
                                "            \"channel\": -1,\n"
                                "            \"id\": 3,\n"
                                "            \"model\": \"DI590\",\n"
                                "            \"record\": false,\n"
                                "            \"running\": true,\n"
                                "            \"username\": \"一号池\"\n"
                                "        },\n"
                                "        {\n"
                                "            \"channel\": -1,\n"
                                "            \"id\": 4,\n"
                                "            \"model\": \"RA550\",\n"
                                "            \"record\": true,\n"
                                "            \"running\": false,\n"
                                "            \"username\": \"二号池\"\n"
                                "        }\n"
                                "    ]\n"
                                "}";
    station.writeFile("config/ComPort.json", ports);
    station.writeFile("config/Monitor.json", monitors);
    const std::string portPath = station.filePath("config/ComPort.json").toStdString();
    ComPortCtrl first;
    {
        ConfigFile file(portPath.c_str());
        QCOMPARE(file.load(), 0);
        file.readComPort(&first);
        QVERIFY(file.problems().empty());
        QCOMPARE(first.getName(), std::string("串口1"));
        QCOMPARE(first.getType(), ComPortCtrl::Rtu);
        QCOMPARE(first.getTimeout(), 0.5);
        file.writeComPort(&first);
        QCOMPARE(file.save(), 0);
        QCOMPARE(station.readFile("config/ComPort.json"), ports);
    }
    {
        ConfigFile file(station.filePath("config/Monitor.json").toUtf8().constData());
        QCOMPARE(file.load(), 0);
        MonitorCollection collection;
        file.readMonitors(&collection, {"串口1", "二期"});
        QVERIFY(file.problems().empty());
        QCOMPARE(collection.getMonitors().size(), size_t(2));
        for (const MonitorBase *monitor : collection.getMonitors()) {
            QCOMPARE(monitor->getLineIndex(), 0);
            QVERIFY(monitor->getLine().empty());
        }
        file.writeMonitors(&collection);
        QCOMPARE(file.save(), 0);
        QCOMPARE(station.readFile("config/Monitor.json"), monitors);
        qDeleteAll(collection.getMonitors());
    }

    // Renamed, the first line's name is stored and read back.
    {
        ConfigFile file(portPath.c_str());
        QCOMPARE(file.load(), 0);
        first.setName("一号泵房");
        file.writeComPort(&first);
        QCOMPARE(file.save(), 0);
    }
    ConfigFile file(portPath.c_str());
    QCOMPARE(file.load(), 0);
    ComPortCtrl again;
    file.readComPort(&again);
    QVERIFY(file.problems().empty());
    QCOMPARE(again.getName(), std::string("一号泵房"));
}

void TestConfigFile::linesFileAddsSerialAndGatewayLines()
{
    TempStation station;
    station.writeFile("config/Lines.json", R"({"lines": [
        {"name": "二期", "type": "rtu", "comport": "/dev/ttyUSB1", "baudrate": 19200,
         "databit": 8, "parity": "N", "stopbit": 2},
        {"name": "池区网关", "type": "tcp", "host": "192.168.1.20", "port": 1502, "timeout": 1,
         "note": "东侧"},
        {"name": "三期", "type": "RTU", "comport": "/dev/ttyUSB2", "baudrate": 9600,
         "databit": 7, "parity": "X", "stopbit": 1}]})");
    const QString path = station.filePath("config/Lines.json");
    ComPortCtrl first;
    first.setName(ConfigFile::firstLineName);
    std::vector<ComPortCtrl *> lines = {&first};
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    file.readLines(lines);
    QCOMPARE(lines.size(), size_t(4));
    ComPortCtrl *serial = lines[1], *gateway = lines[2], *third = lines[3];
    QCOMPARE(serial->getType(), ComPortCtrl::Rtu);
    QCOMPARE(serial->getBaudrate(), 19200);
    QCOMPARE(gateway->getType(), ComPortCtrl::Tcp);
    QCOMPARE(gateway->getHost(), std::string("192.168.1.20"));
    QCOMPARE(gateway->getTcpPort(), 1502);
    QCOMPARE(gateway->getTimeout(), 1.0);
    // A serial value out of range falls back as in ComPort.json, naming the entry.
    QCOMPARE(third->getParity(), 'N');
    QCOMPARE(problems(file).value(0),
             "配置文件 " + path + " 中第 3 条线路的 \"parity\" 为 \"X\"，不是 N、E 或 O，改用 N");

    // Each line writes its own entry, also after an earlier one left the file; keys the
    // station does not know, and values as the operator wrote them, stay.
    gateway->setHost("gw.plant");
    file.removeLine(serial);
    third->setBaudrate(4800);
    file.writeLine(third);
    file.writeLine(gateway);
    ComPortCtrl added;
    added.setName("新网关");
    added.setType(ComPortCtrl::Tcp);
    added.setHost("10.0.0.5");
    file.writeLine(&added);
    file.markProblemsShown();
    QCOMPARE(file.save(), 0);
    const QByteArray stored = station.readFile("config/Lines.json");
    QVERIFY(stored.contains("\"timeout\": 1,"));
    QVERIFY(stored.contains("\"type\": \"RTU\""));
    const nlohmann::json &list = file.getDocument()["lines"];
    QCOMPARE(list.size(), size_t(3));
    QCOMPARE(list[0]["note"], nlohmann::json("东侧"));
    QCOMPARE(list[2], nlohmann::json({{"name", "新网关"}, {"type", "tcp"}, {"host", "10.0.0.5"}}));

    ConfigFile again(path.toUtf8().constData());
    QCOMPARE(again.load(), 0);
    std::vector<ComPortCtrl *> reread = {&first};
    again.readLines(reread);
    QVERIFY(again.problems().empty());
    QCOMPARE(reread.size(), size_t(4));
    QCOMPARE(reread[1]->getHost(), std::string("gw.plant"));
    QCOMPARE(reread[2]->getBaudrate(), 4800);
    QCOMPARE(reread[3]->getTcpPort(), 502);
    for (size_t i = 1; i < reread.size(); ++i)
        delete reread[i];

    // Eight lines in all: the first and seven of the file.
    QByteArray many = R"({"lines": [)";
    for (int i = 1; i <= 8; ++i)
        many += (i > 1 ? "," : "") + QByteArray(R"({"name": "g)") + QByteArray::number(i) +
                R"(", "type": "tcp", "host": "10.0.0.)" + QByteArray::number(i) + "\"}";
    station.writeFile("config/Lines.json", many + "]}");
    ConfigFile full(path.toUtf8().constData());
    QCOMPARE(full.load(), 0);
    std::vector<ComPortCtrl *> eight = {&first};
    full.readLines(eight);
    QCOMPARE(eight.size(), size_t(ConfigFile::maxLines));
    QCOMPARE(problems(full).value(0),
             "配置文件 " + path +
                 " 中第 8 条线路超出 8 条线路的上限，该线路未加载，它的设置仍保留在文件中");
    for (size_t i = 1; i < eight.size(); ++i)
        delete eight[i];

    // Stored once its problems were shown, a file that could not be read is one the next
    // start reads.
    station.writeFile("config/Lines.json", R"({"lines": [{"name": )");
    ConfigFile broken(path.toUtf8().constData());
    QCOMPARE(broken.load(), -1);
    std::vector<ComPortCtrl *> none = {&first};
    broken.readLines(none);
    QCOMPARE(none.size(), size_t(1));
    broken.markProblemsShown();
    QCOMPARE(broken.save(), 0);
    ConfigFile repaired(path.toUtf8().constData());
    QCOMPARE(repaired.load(), 0);
    repaired.readLines(none);
    QVERIFY(repaired.problems().empty());
    delete serial;
    delete gateway;
    delete third;
}

void TestConfigFile::refusedLinesAreReportedAndStayInTheFile_data()
{
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("problem");
    const QByteArray serial = R"("type": "rtu", "baudrate": 9600, "databit": 8, "parity": "N",
                                 "stopbit": 2, )";
    QTest::newRow("not an object") << QByteArray(R"(["二期"])") << "不是 JSON 对象";
    QTest::newRow("unknown type") << QByteArray(R"({"name": "x", "type": "ascii"})")
                                  << R"(的 "type" 为 "ascii"，不是 rtu 或 tcp)";
    QTest::newRow("no type") << QByteArray(R"({"name": "x", "host": "h"})") << R"(缺少 "type")";
    QTest::newRow("no name") << "{" + serial + R"("comport": "/dev/ttyUSB5"})"
                             << R"(缺少 "name")";
    QTest::newRow("empty name") << "{" + serial + R"("name": "", "comport": "/dev/ttyUSB5"})"
                                << R"(的 "name" 为空)";
    QTest::newRow("name with a newline")
        << "{" + serial + R"("name": "a\nb", "comport": "/dev/ttyUSB5"})"
        << R"(的 "name" 为 "a\nb"，含有控制字符)";
    QTest::newRow("name of the first line")
        << "{" + serial + R"("name": "串口1", "comport": "/dev/ttyUSB5"})"
        << R"(的名称 "串口1" 已被其他线路使用)";
    QTest::newRow("name of an earlier line")
        << QByteArray(R"({"name": "二期", "type": "tcp", "host": "h"})")
        << R"(的名称 "二期" 已被其他线路使用)";
    // The first line is on COM1.
    QTest::newRow("device of the first line")
        << "{" + serial + R"("name": "x", "comport": "/dev/ttyS0"})"
        << R"(的串口 "/dev/ttyS0" 已由线路 "串口1" 使用)";
    QTest::newRow("device of an earlier line")
        << "{" + serial + R"("name": "x", "comport": "/dev/ttyUSB1"})"
        << R"(的串口 "/dev/ttyUSB1" 已由线路 "二期" 使用)";
    QTest::newRow("no host") << QByteArray(R"({"name": "x", "type": "tcp", "port": 502})")
                             << R"(缺少 "host")";
    QTest::newRow("host with a space")
        << QByteArray(R"({"name": "x", "type": "tcp", "host": "10.0.0.1 502"})")
        << R"(的 "host" 为 "10.0.0.1 502"，不是可用的主机名或地址)";
    QTest::newRow("port 0") << QByteArray(R"({"name": "x", "type": "tcp", "host": "h", "port": 0})")
                            << R"(的 "port" 为 0，不在 1 到 65535 之间)";
    QTest::newRow("port 70000")
        << QByteArray(R"({"name": "x", "type": "tcp", "host": "h", "port": 70000})")
        << R"(的 "port" 为 70000，不在 1 到 65535 之间)";
    QTest::newRow("port as text")
        << QByteArray(R"({"name": "x", "type": "tcp", "host": "h", "port": "502"})")
        << R"(的 "port" 不是整数)";
}

void TestConfigFile::refusedLinesAreReportedAndStayInTheFile()
{
    QFETCH(QByteArray, entry);
    QFETCH(QString, problem);
    TempStation station;
    const QByteArray content = R"({"lines": [
        {"name": "二期", "type": "rtu", "comport": "/dev/ttyUSB1"}, )" +
                               entry + R"(,
        {"name": "网关", "type": "tcp", "host": "gw"}]})";
    station.writeFile("config/Lines.json", content);
    const QString path = station.filePath("config/Lines.json");
    ComPortCtrl first; // COM1
    first.setName(ConfigFile::firstLineName);
    const auto start = [&](std::vector<ComPortCtrl *> &lines) {
        auto *file = new ConfigFile(path.toUtf8().constData());
        file->load();
        lines = {&first};
        file->readLines(lines);
        return file;
    };
    std::vector<ComPortCtrl *> lines;
    std::unique_ptr<ConfigFile> file(start(lines));
    QCOMPARE(lines.size(), size_t(3));
    QCOMPARE(lines[1]->getName(), std::string("二期"));
    QCOMPARE(lines[2]->getName(), std::string("网关"));
    const QString expected =
        "配置文件 " + path + " 中第 2 条线路" + problem + "，该线路未加载，它的设置仍保留在文件中";
    QVERIFY2(problems(*file).contains(expected), qPrintable(problems(*file).join('\n')));
    QCOMPARE(station.readFile("config/Lines.json.invalid"), content);

    // Written by the lines around it, the entry stays as it was, and is told again.
    lines[1]->setBaudrate(4800);
    lines[2]->setTcpPort(1502);
    file->writeLine(lines[1]);
    file->writeLine(lines[2]);
    file->markProblemsShown();
    QCOMPARE(file->save(), 0);
    QCOMPARE(file->getDocument()["lines"][1], nlohmann::json::parse(entry.constData()));
    qDeleteAll(lines.begin() + 1, lines.end());
    file.reset(start(lines));
    QVERIFY(problems(*file).contains(expected));
    QCOMPARE(lines[1]->getBaudrate(), 4800);
    QCOMPARE(lines[2]->getTcpPort(), 1502);
    qDeleteAll(lines.begin() + 1, lines.end());
}

void TestConfigFile::monitorsOfMissingLinesStayUnpolledAndReported()
{
    TempStation station;
    // Ids apart: only the lines are looked at here.
    const auto entry = [](const char *name, const char *line) {
        return QByteArray(R"({"model": "DI590", "username": ")") + name + R"(", "id": )" +
               QByteArray::number(name[0] - 'a' + 1) +
               R"(, "channel": -1, "running": true, "record": true)" +
               (line ? QByteArray(R"(, "line": )") + line : QByteArray()) + "}";
    };
    station.writeFile("config/Monitor.json",
                      R"({"interval": 30, "monitor": [)" + entry("a", nullptr) + "," +
                          entry("b", R"("二期")") + "," + entry("c", R"("三期")") + "," +
                          entry("d", "5") + "," + entry("e", R"("三期")") + "," +
                          entry("f", R"("串口1")") + "]}");
    const QString path = station.filePath("config/Monitor.json");
    const QString at = "配置文件 " + path + " 中第 ";
    MonitorCollection collection;
    {
        ConfigFile file(path.toUtf8().constData());
        QCOMPARE(file.load(), 0);
        file.readMonitors(&collection, {"串口1", "二期"});
        const std::vector<MonitorBase *> &monitors = collection.getMonitors();
        QCOMPARE(monitors.size(), size_t(6));
        QList<int> indexes;
        QStringList names;
        for (const MonitorBase *monitor : monitors) {
            indexes << monitor->getLineIndex();
            names << QString::fromStdString(monitor->getLine());
        }
        QCOMPARE(indexes, QList<int>({0, 1, -1, -1, -1, 0}));
        QCOMPARE(names, QStringList({"", "二期", "三期", "", "三期", "串口1"}));
        const QStringList told = problems(file);
        QCOMPARE(told.size(), 3);
        QCOMPARE(told[0], at + "4 个仪表的 \"line\" 不是文本，该仪表不采集");
        QCOMPARE(told[2], at + "3、5 个仪表所属线路 \"三期\" 不存在，这些仪表不采集，"
                               "它们的设置仍保留在文件中");

        // Nothing the file says about lines is lost by storing; a monitor moved to the
        // first line loses its key, one moved to a line gets it.
        MonitorBase *moved = monitors[4];
        moved->setLine(std::string());
        moved->setLineIndex(0);
        file.writeMonitors(&collection);
        const nlohmann::json &list = file.getDocument()["monitor"];
        QVERIFY(!list[0].contains("line"));
        QCOMPARE(list[1]["line"], nlohmann::json("二期"));
        QCOMPARE(list[2]["line"], nlohmann::json("三期"));
        QCOMPARE(list[3]["line"], nlohmann::json(5));
        QVERIFY(!list[4].contains("line"));
        QCOMPARE(list[5]["line"], nlohmann::json("串口1"));
        file.markProblemsShown();
        QCOMPARE(file.save(), 0);
    }
    qDeleteAll(collection.getMonitors());

    // 二期 left Lines.json: its monitor stays, unpolled.
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection next;
    file.readMonitors(&next);
    QCOMPARE(next.getMonitors().size(), size_t(6));
    QCOMPARE(next.getMonitors()[1]->getLineIndex(), -1);
    QCOMPARE(next.getMonitors()[4]->getLineIndex(), 0);
    QVERIFY(problems(file).contains(
        at + "2 个仪表所属线路 \"二期\" 不存在，该仪表不采集，它的设置仍保留在文件中"));
    qDeleteAll(next.getMonitors());
}

void TestConfigFile::idsRepeatAcrossLinesButNotOnOne()
{
    TempStation station;
    const auto entry = [](const char *name, int id, const char *line) {
        return QByteArray(R"({"model": "DO580", "username": ")") + name + R"(", "id": )" +
               QByteArray::number(id) + R"(, "channel": -1, "running": true, "record": true)" +
               (line ? QByteArray(R"(, "line": ")") + line + "\"" : QByteArray()) + "}";
    };
    station.writeFile("config/Monitor.json",
                      R"({"interval": 30, "monitor": [)" + entry("a", 5, nullptr) + "," +
                          entry("b", 5, "二期") + "," + entry("c", 7, "二期") + "," +
                          entry("d", 7, "二期") + "," + entry("e", 5, "三期") + "," +
                          entry("f", 5, "三期") + "," + entry("g", 5, "串口1") + "]}");
    const QString path = station.filePath("config/Monitor.json");
    ConfigFile file(path.toUtf8().constData());
    QCOMPARE(file.load(), 0);
    MonitorCollection collection;
    file.readMonitors(&collection, {"串口1", "二期"});
    QCOMPARE(collection.getMonitors().size(), size_t(7));
    QCOMPARE(collection.getMonitors()[1]->getLineIndex(), 1);
    // The first line's monitors count as one whether they name it or not; those of a line
    // the station lacks are compared as well, for when it comes back.
    const QString at = "配置文件 " + path + " 中第 ";
    const QStringList told = problems(file);
    QCOMPARE(told.size(), 5);
    QVERIFY(told[0].contains("5、6 个仪表所属线路 \"三期\" 不存在"));
    QCOMPARE(told[2], at + "5、6 个仪表在线路 \"三期\" 上的 id 同为 5，"
                           "同一线路上的仪表会同时应答，请改 id");
    QVERIFY(told[3].startsWith(at + "1、7 个仪表在线路 \"串口1\" 上的 id 同为 5，"));
    QVERIFY(told[4].startsWith(at + "3、4 个仪表在线路 \"二期\" 上的 id 同为 7，"));
    qDeleteAll(collection.getMonitors());
}

void TestConfigFile::tenThousandMonitorsRoundTrip()
{
    TempStation station;
    QVERIFY(QDir(station.path()).mkpath("config"));
    const QString path = station.filePath("config/Monitor.json");
    const std::vector<std::string> lineNames = {"串口1", "二期", "三期", "四期",
                                                "五期",  "六期", "七期", "池区网关"};
    const int count = 10000;
    MonitorCollection collection;
    AlarmFilter own;
    own.onDelay = 2;
    for (int i = 0; i < count; ++i) {
        MonitorBase *monitor =
            collection.create(i % 2 ? "DI590" : "RO592", "出水口水质监测点" + std::to_string(i),
                              1 + i % 247, -1, true, true);
        const int line = i % 8;
        monitor->setLine(line ? lineNames[size_t(line)] : std::string());
        monitor->setLineIndex(line);
        monitor->setOwnAlarmFilter(&own);
    }
    {
        ConfigFile file(path.toUtf8().constData(), ConfigFile::maxMonitorFileSize);
        QCOMPARE(file.load(), 0);
        file.writeMonitors(&collection);
        QCOMPARE(file.save(), 0);
    }
    const QByteArray stored = station.readFile("config/Monitor.json");
    QVERIFY2(stored.size() > ConfigFile::maxFileSize &&
                 stored.size() < ConfigFile::maxMonitorFileSize / 2,
             qPrintable(QString::number(stored.size())));

    ConfigFile file(path.toUtf8().constData(), ConfigFile::maxMonitorFileSize);
    QCOMPARE(file.load(), 0);
    MonitorCollection reloaded;
    file.readMonitors(&reloaded, lineNames);
    const std::vector<MonitorBase *> &monitors = reloaded.getMonitors();
    QCOMPARE(monitors.size(), size_t(count));
    QCOMPARE(monitors[9999]->getUsername(), std::string("出水口水质监测点9999"));
    QCOMPARE(monitors[9999]->getLineIndex(), 7);
    QCOMPARE(monitors[9999]->getId(), 1 + 9999 % 247);
    QVERIFY(monitors[9999]->ownAlarmFilter());
    // Far more ids repeat on each line than a message box can list: the first ones, and how
    // many more (besides the note that the file was kept aside).
    QCOMPARE(file.problems().size(), size_t(22));
    QVERIFY(QString::fromStdString(file.problems().back()).contains("另有"));

    // Stored unchanged; a monitor gone from the list takes only its own entry.
    file.writeMonitors(&reloaded);
    file.markProblemsShown();
    QCOMPARE(file.save(), 0);
    QCOMPARE(station.readFile("config/Monitor.json"), stored);
    MonitorBase *removed = monitors[5000];
    reloaded.remove(removed);
    delete removed;
    file.writeMonitors(&reloaded);
    QCOMPARE(file.getDocument()["monitor"].size(), size_t(count - 1));
    QCOMPARE(file.getDocument()["monitor"][5000]["username"],
             nlohmann::json("出水口水质监测点5001"));
    qDeleteAll(reloaded.getMonitors());
    qDeleteAll(collection.getMonitors());
    AlarmRules::instance().reset();
}

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
