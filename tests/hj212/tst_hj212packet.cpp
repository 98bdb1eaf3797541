#include "hj212/hj212packet.h"
#include "hj212/hj212stream.h"

#include <QtTest>

class TestHj212Packet : public QObject
{
    Q_OBJECT

private slots:
    void crcOfTheStandardsExampleFramesIt();
    void messageSplitsOnlyPastTheSegmentLimit();
    void manyPartsKeepEveryPartWithinTheLimit();
    void fieldsAndCpValuesAreRead();
    void streamFindsPacketsAmongGarbageAndSkipsBadOnes();
    void floodWithoutPacketsKeepsTheBufferSmall();
};

namespace {

const std::string vector = "QN=20160801085857223;ST=32;CN=1062;PW=100000;"
                           "MN=010000A8900016F000169DC0;Flag=5;CP=&&RtdInterval=30&&";

Hj212Packet::Header headerOf(int flag = 5)
{
    Hj212Packet::Header header;
    header.qn = "20240301080000123";
    header.st = "32";
    header.cn = "2011";
    header.pw = "123456";
    header.mn = "HV0001";
    header.flag = flag;
    return header;
}

// Groups of the given sizes, each "wNNNNN-Rtd=xxx…" numbered so their order shows.
std::vector<std::string> groupsOf(const std::vector<size_t> &sizes)
{
    std::vector<std::string> groups;
    for (size_t i = 0; i < sizes.size(); ++i) {
        std::string group = "w" + std::to_string(10000 + i) + "-Rtd=";
        group += std::string(sizes[i] - group.size(), '7');
        groups.push_back(group);
    }
    return groups;
}

// The groups of the segments' CPs after the lead, in order.
std::vector<std::string> groupsIn(const std::vector<std::string> &segments, const std::string &lead)
{
    std::vector<std::string> groups;
    for (const std::string &segment : segments) {
        Hj212Packet::Fields fields;
        if (!Hj212Packet::parse(segment, fields))
            return {};
        std::string cp = fields.cp;
        if (cp.compare(0, lead.size(), lead) != 0)
            return {};
        cp.erase(0, lead.size() + 1);
        size_t at = 0;
        while (at <= cp.size()) {
            const size_t next = std::min(cp.find(';', at), cp.size());
            groups.push_back(cp.substr(at, next - at));
            at = next + 1;
        }
    }
    return groups;
}

} // namespace

void TestHj212Packet::crcOfTheStandardsExampleFramesIt()
{
    QCOMPARE(vector.size(), size_t(101));
    QCOMPARE(Hj212Packet::crc(vector), uint16_t(0x1C80));
    QCOMPARE(Hj212Packet::frame(vector), "##0101" + vector + "1C80\r\n");
    // Lower-case hex never: the platform compares the text.
    QCOMPARE(
        Hj212Packet::frame("A").substr(7, 4),
        QString::number(Hj212Packet::crc("A"), 16).toUpper().rightJustified(4, '0').toStdString());
}

void TestHj212Packet::messageSplitsOnlyPastTheSegmentLimit()
{
    const std::string lead = "DataTime=20240301080000";
    const Hj212Packet::Header header = headerOf();
    const size_t bare = Hj212Packet::build(header, lead, {}).front().size();
    // One group that fills the segment to exactly 1024 bytes, then one byte more.
    for (const size_t extra : {size_t(0), size_t(1)}) {
        const size_t room = Hj212Packet::maxSegment - bare - 1; // the ';' before the group
        const auto groups = groupsOf({room / 2, room - room / 2 - 1 + extra});
        const std::vector<std::string> segments = Hj212Packet::build(header, lead, groups);
        if (extra == 0) {
            QCOMPARE(segments.size(), size_t(1));
            QCOMPARE(segments[0].size(), Hj212Packet::maxSegment);
            QVERIFY(segments[0].find(";Flag=5;CP=&&") != std::string::npos);
            QVERIFY(segments[0].find("PNUM") == std::string::npos);
        } else {
            QCOMPARE(segments.size(), size_t(2));
            for (size_t i = 0; i < 2; ++i) {
                QVERIFY(segments[i].size() <= Hj212Packet::maxSegment);
                Hj212Packet::Fields fields;
                QVERIFY(Hj212Packet::parse(segments[i], fields));
                QCOMPARE(fields.value("Flag"), std::string("7"));
                QCOMPARE(fields.value("PNUM"), std::string("2"));
                QCOMPARE(fields.value("PNO"), std::to_string(i + 1));
                QCOMPARE(fields.value("QN"), header.qn);
            }
        }
        QCOMPARE(groupsIn(segments, lead), groups);
    }
    // Without an answer asked: 4 and 6.
    const auto split = Hj212Packet::build(headerOf(4), lead, groupsOf({600, 600}));
    QCOMPARE(split.size(), size_t(2));
    QVERIFY(split[0].find(";Flag=6;PNUM=2;PNO=1;CP=&&") != std::string::npos);
    // A group no packet can hold is refused rather than cut.
    QVERIFY(Hj212Packet::build(header, lead, groupsOf({1100})).empty());
}

void TestHj212Packet::manyPartsKeepEveryPartWithinTheLimit()
{
    // Enough groups for more than nine parts, where PNUM and PNO need two digits.
    const std::vector<size_t> sizes(40, 250);
    const auto groups = groupsOf(sizes);
    const std::string lead = "DataTime=20240301080000";
    const std::vector<std::string> segments = Hj212Packet::build(headerOf(), lead, groups);
    QVERIFY(segments.size() >= 10);
    for (size_t i = 0; i < segments.size(); ++i) {
        QVERIFY(segments[i].size() <= Hj212Packet::maxSegment);
        Hj212Packet::Fields fields;
        QVERIFY(Hj212Packet::parse(segments[i], fields));
        QCOMPARE(fields.value("PNUM"), std::to_string(segments.size()));
        QCOMPARE(fields.value("PNO"), std::to_string(i + 1));
    }
    QCOMPARE(groupsIn(segments, lead), groups);
}

void TestHj212Packet::fieldsAndCpValuesAreRead()
{
    Hj212Packet::Fields fields;
    QVERIFY(Hj212Packet::parse(vector, fields));
    QCOMPARE(fields.value("QN"), std::string("20160801085857223"));
    QCOMPARE(fields.value("CN"), std::string("1062"));
    QCOMPARE(fields.value("MN"), std::string("010000A8900016F000169DC0"));
    QCOMPARE(fields.cp, std::string("RtdInterval=30"));
    const auto values = Hj212Packet::cpValues("DataTime=20240301080000;w01001-Rtd=7.12,"
                                              "w01001-Flag=N;BeginTime=1;;odd");
    QCOMPARE(values.at("w01001-Rtd"), std::string("7.12"));
    QCOMPARE(values.at("w01001-Flag"), std::string("N"));
    QCOMPARE(values.at("BeginTime"), std::string("1"));
    QCOMPARE(values.size(), size_t(4));
    QVERIFY(!Hj212Packet::parse("QN=1;CN=9014;Flag=4", fields));
    QVERIFY(Hj212Packet::parse("QN=1;CN=9014;Flag=4;CP=&&&&", fields));
    QCOMPARE(fields.cp, std::string());
}

void TestHj212Packet::streamFindsPacketsAmongGarbageAndSkipsBadOnes()
{
    const std::string good = Hj212Packet::frame(vector);
    std::string badCheck = good;
    badCheck[badCheck.size() - 3] = badCheck[badCheck.size() - 3] == '0' ? '1' : '0';
    const std::string answer = Hj212Packet::frame("QN=1;ST=91;CN=9014;Flag=4;CP=&&&&");
    std::string bytes = "noise#" + good + "##12x4" + badCheck + "##9999" + answer +
                        good.substr(0, good.size() - 2) + "\n\r" + answer;
    // Byte by byte: a packet may arrive in any number of pieces.
    Hj212Stream stream;
    std::vector<std::string> segments;
    for (char c : bytes)
        stream.feed(&c, 1, segments);
    QCOMPARE(segments.size(), size_t(3));
    QCOMPARE(segments[0], vector);
    QCOMPARE(segments[1], std::string("QN=1;ST=91;CN=9014;Flag=4;CP=&&&&"));
    QCOMPARE(segments[2], segments[1]); // after the one without CR LF
    QCOMPARE(stream.badChecks(), size_t(1));
    QVERIFY(stream.skipped() > 0);

    // All at once gives the same.
    Hj212Stream whole;
    std::vector<std::string> again;
    whole.feed(bytes.data(), bytes.size(), again);
    QCOMPARE(again, segments);
}

void TestHj212Packet::floodWithoutPacketsKeepsTheBufferSmall()
{
    // 10 MB without CR LF, with "##" and lengths scattered through it, then a packet.
    std::string flood(10 << 20, 'x');
    for (size_t i = 0; i < flood.size(); i += 4093)
        flood.replace(i, 6, "##1024");
    Hj212Stream stream;
    std::vector<std::string> segments;
    for (size_t at = 0; at < flood.size(); at += 1 << 20)
        stream.feed(flood.data() + at, std::min<size_t>(1 << 20, flood.size() - at), segments);
    QVERIFY(segments.empty());
    const std::string good = Hj212Packet::frame(vector);
    stream.feed(good.data(), good.size(), segments);
    QCOMPARE(segments.size(), size_t(1));
    QCOMPARE(segments[0], vector);
    QVERIFY(stream.skipped() >= flood.size() - 2 * 1036);
}

QTEST_GUILESS_MAIN(TestHj212Packet)
#include "tst_hj212packet.moc"
