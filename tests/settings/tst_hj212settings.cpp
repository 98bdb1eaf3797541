#include "app/appcontext.h"
#include "settings/configfile.h"
#include "settings/hj212settings.h"
#include "testsupport.h"

#include <QtTest>

#include <nlohmann/json.hpp>

using nlohmann::json;

class TestHj212Settings : public QObject
{
    Q_OBJECT

private slots:
    void issueShapedFileRoundTripsAndAMissingFileIsOff();
    void codesOfAMonitorWinOverAFactorsAndBuiltIns();
    void collidingCodesAreReportedAndTheFirstMonitorKeepsIt();
    void badValuesAreReportedWithACopyAndTheRestStillWorks_data();
    void badValuesAreReportedWithACopyAndTheRestStillWorks();
};

namespace {

const std::map<std::string, std::string> models{
    {"曝气池", "DI590"}, {"pH池", "DO580"}, {"余氯", "RA550"}};

json platformJson(const std::string &name = "市平台")
{
    return {{"name", name},
            {"enabled", true},
            {"host", "10.1.2.3"},
            {"port", 8000},
            {"st", "32"},
            {"pw", "123456"},
            {"rtdInterval", 30},
            {"minuteInterval", 10},
            {"overTime", 5},
            {"reCount", 3},
            {"points", json::array({{{"mn", "HV0001"}, {"monitors", {"曝气池", "pH池"}}}})}};
}

json fileJson()
{
    return {{"platforms", json::array({platformJson()})},
            {"codes",
             {{"pH", "w01001"},
              {"DO", "w01009"},
              {"Temper", "w01010"},
              {"曝气池/ORP", "w01xxx"},
              {"pH池/Temper", ""}}}};
}

// Loads config/Hj212.json of the station as the registry does.
Hj212Settings load(ConfigFile &file)
{
    Hj212Settings settings;
    file.load();
    file.readHj212(settings, models);
    return settings;
}

bool anyContains(const std::vector<std::string> &texts, const std::string &part)
{
    for (const std::string &text : texts)
        if (text.find(part) != std::string::npos)
            return true;
    return false;
}

} // namespace

void TestHj212Settings::issueShapedFileRoundTripsAndAMissingFileIsOff()
{
    TempStation station;
    const std::string path = AppContext::instance().path(Hj212Config).toStdString();
    {
        ConfigFile missing(path.c_str());
        const Hj212Settings settings = load(missing);
        QVERIFY(settings.platforms.empty());
        QVERIFY(missing.problems().empty());
    }
    QVERIFY(station.writeFile("config/Hj212.json", QByteArray::fromStdString(fileJson().dump())));
    ConfigFile file(path.c_str());
    const Hj212Settings settings = load(file);
    QVERIFY2(file.problems().empty(), file.problems().empty() ? "" : file.problems()[0].c_str());
    QCOMPARE(settings.platforms.size(), size_t(1));
    const Hj212Settings::Platform &platform = settings.platforms[0];
    QCOMPARE(platform.name, std::string("市平台"));
    QCOMPARE(platform.port, 8000);
    QCOMPARE(platform.pw, std::string("123456"));
    QCOMPARE(platform.points.size(), size_t(1));
    QCOMPARE(platform.points[0].monitors, (std::vector<std::string>{"曝气池", "pH池"}));
    QCOMPARE(settings.codes.at("曝气池/ORP"), std::string("w01xxx"));

    // What is written reads back the same, keys the station does not know kept.
    ConfigFile again(path.c_str());
    again.load();
    json extra = again.getDocument();
    QVERIFY(station.writeFile("config/Hj212.json",
                              QByteArray::fromStdString((extra["note"] = "kept", extra).dump())));
    again.load();
    Hj212Settings changed = settings;
    changed.platforms[0].rtdInterval = 60;
    again.writeHj212(changed);
    QCOMPARE(again.save(), 0);
    ConfigFile reread(path.c_str());
    QCOMPARE(load(reread), changed);
    QCOMPARE(reread.getDocument().at("note"), json("kept"));
}

void TestHj212Settings::codesOfAMonitorWinOverAFactorsAndBuiltIns()
{
    Hj212Settings settings;
    settings.codes = {{"pH", "w01999"}, {"ORP", "w01020"}, {"余氯/ORP", "w01021"}};
    QCOMPARE(settings.codeFor("曝气池", "DO"), std::string("w01009"));
    QCOMPARE(settings.codeFor("曝气池", "Temper"), std::string("w01010"));
    QCOMPARE(settings.codeFor("pH池", "pH"), std::string("w01999"));
    QCOMPARE(settings.codeFor("pH池", "ORP"), std::string("w01020"));
    QCOMPARE(settings.codeFor("余氯", "ORP"), std::string("w01021"));
    QCOMPARE(settings.codeFor("余氯", "RCL"), std::string());
}

void TestHj212Settings::collidingCodesAreReportedAndTheFirstMonitorKeepsIt()
{
    Hj212Settings settings;
    settings.platforms.push_back(Hj212Settings::Platform());
    Hj212Settings::Platform &platform = settings.platforms[0];
    platform.name = "市平台";
    platform.host = "10.1.2.3";
    platform.port = 8000;
    platform.pw = "123456";
    platform.points.push_back({"HV0001", {"曝气池", "pH池", "新池"}});
    settings.codes = {{"ORP", "w01009"}};

    const std::vector<std::string> problems = settings.validate(models);
    // Both measure temperature, and an ORP would go out as the aeration tank's DO.
    QVERIFY(anyContains(problems, "\"pH池\" 的 Temper 的编码同为 w01010"));
    QVERIFY(anyContains(problems, "\"pH池\" 的 ORP 的编码同为 w01009"));
    QVERIFY(anyContains(problems, "\"新池\" 不存在"));
    const Hj212Settings::Resolved codes = settings.resolve(platform.points[0], models);
    QCOMPARE(codes.code("曝气池", "Temper"), std::string("w01010"));
    QCOMPARE(codes.code("pH池", "Temper"), std::string());
    QCOMPARE(codes.code("pH池", "ORP"), std::string());
    QCOMPARE(codes.code("pH池", "pH"), std::string("w01001"));
    // A monitor added later gets what nobody holds.
    QCOMPARE(codes.code("新池", "DO"), std::string());
    QCOMPARE(codes.code("新池", "RCL"), std::string());

    // An empty code silences a factor on purpose.
    settings.codes["pH池/Temper"] = "";
    settings.codes.erase("ORP");
    QVERIFY(!anyContains(settings.validate(models), "编码同为"));
}

void TestHj212Settings::badValuesAreReportedWithACopyAndTheRestStillWorks_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value"); // JSON
    QTest::addColumn<QString>("problem");
    QTest::newRow("code with a space") << "codes/ORP"
                                       << "\"w01 02\""
                                       << "含有空格";
    QTest::newRow("code with ;") << "codes/ORP"
                                 << "\"w01;02\""
                                 << "含有空格";
    QTest::newRow("code with ,") << "codes/ORP"
                                 << "\"w01,02\""
                                 << "含有空格";
    QTest::newRow("code with &") << "codes/ORP"
                                 << "\"w01&02\""
                                 << "含有空格";
    QTest::newRow("code with =") << "codes/ORP"
                                 << "\"w01=02\""
                                 << "含有空格";
    QTest::newRow("short PW") << "pw"
                              << "\"12345\""
                              << "访问密码";
    QTest::newRow("long PW") << "pw"
                             << "\"1234567\""
                             << "访问密码";
    QTest::newRow("long MN") << "mn"
                             << "\"1234567890123456789012345\""
                             << "的 MN";
    QTest::newRow("empty MN") << "mn"
                              << "\"\""
                              << "的 MN";
    QTest::newRow("port as text") << "port"
                                  << "\"8000\""
                                  << "\"port\" 不是整数";
    QTest::newRow("rtd too short") << "rtdInterval"
                                   << "10"
                                   << "实时数据间隔";
    QTest::newRow("minutes not dividing 60") << "minuteInterval"
                                             << "7"
                                             << "不能整除 60";
    QTest::newRow("five platforms") << "platforms"
                                    << "5"
                                    << "最多 4 个平台";
}

void TestHj212Settings::badValuesAreReportedWithACopyAndTheRestStillWorks()
{
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QString, problem);
    TempStation station;
    json content = fileJson();
    // A second platform that is fine throughout.
    json second = platformJson("省平台");
    second["points"][0]["mn"] = "HV0002";
    content["platforms"].push_back(second);
    const json bad = json::parse(value.toStdString());
    if (key.startsWith("codes/"))
        content["codes"][key.mid(6).toStdString()] = bad;
    else if (key == "mn")
        content["platforms"][0]["points"][0]["mn"] = bad;
    else if (key == "platforms")
        while (content["platforms"].size() < size_t(bad.get<int>()))
            content["platforms"].push_back(
                platformJson("平台" + std::to_string(content["platforms"].size())));
    else
        content["platforms"][0][key.toStdString()] = bad;
    const QByteArray text = QByteArray::fromStdString(content.dump());
    QVERIFY(station.writeFile("config/Hj212.json", text));

    ConfigFile file(AppContext::instance().path(Hj212Config).toUtf8().constData());
    const Hj212Settings settings = load(file);
    QVERIFY2(anyContains(file.problems(), problem.toStdString()),
             file.problems().empty() ? "no problem" : file.problems()[0].c_str());
    QVERIFY(anyContains(file.problems(), "Hj212.json.invalid"));
    QCOMPARE(station.readFile("config/Hj212.json.invalid"), text);

    // The platform without a fault still uploads; a bad code is not uploaded.
    Hj212Settings usable;
    settings.validate(models, &usable);
    QVERIFY(usable.platforms.size() >= 2 && usable.platforms.size() <= 4);
    QVERIFY(usable.platforms[1].enabled);
    QCOMPARE(usable.platforms[1].points[0].monitors.size(), size_t(2));
    if (key.startsWith("codes/"))
        QCOMPARE(usable.resolve(usable.platforms[1].points[0], models).code("pH池", "ORP"),
                 std::string());
    if (key == "mn")
        QVERIFY(usable.platforms[0].points[0].monitors.empty());
    else if (key != "platforms" && !key.startsWith("codes/"))
        QVERIFY(!usable.platforms[0].enabled);
}

QTEST_GUILESS_MAIN(TestHj212Settings)
#include "tst_hj212settings.moc"
