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

QTEST_GUILESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
