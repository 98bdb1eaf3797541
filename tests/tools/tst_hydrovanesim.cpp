#include "line/comportctrl.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QtTest>

#include <csignal>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace {

// CRC-16/MODBUS, written here again so that the simulator's frames are checked against an
// implementation of their own.
QByteArray withCrc(QByteArray frame)
{
    quint16 crc = 0xFFFF;
    for (char byte : frame) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? quint16((crc >> 1) ^ 0xA001) : quint16(crc >> 1);
    }
    frame.append(char(crc & 0xFF));
    frame.append(char(crc >> 8));
    return frame;
}

// The simulator's line opened raw, for writing requests byte by byte.
class RawLine
{
public:
    explicit RawLine(const QString &path)
    {
        fd = ::open(path.toUtf8().constData(), O_RDWR | O_NOCTTY);
        termios settings;
        if (fd >= 0 && tcgetattr(fd, &settings) == 0) {
            cfmakeraw(&settings);
            tcsetattr(fd, TCSANOW, &settings);
        }
    }
    // A connection to a gateway on 127.0.0.1.
    explicit RawLine(int port)
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(uint16_t(port));
        if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    // The other side closed: end of stream within `waitMs`, nothing before it.
    bool closedByPeer(int waitMs = 2000)
    {
        pollfd entry = {fd, POLLIN, 0};
        char byte;
        return poll(&entry, 1, waitMs) > 0 && ::read(fd, &byte, 1) == 0;
    }
    ~RawLine()
    {
        if (fd >= 0)
            ::close(fd);
    }
    // Sends a request and collects what comes back until `expected` bytes arrived or the
    // line stayed quiet for `quietMs`.
    QByteArray exchange(const QByteArray &request, int expected, int quietMs = 300)
    {
        if (::write(fd, request.constData(), size_t(request.size())) != request.size())
            return QByteArray("write failed");
        QByteArray answer;
        pollfd entry = {fd, POLLIN, 0};
        while (answer.size() < expected && poll(&entry, 1, quietMs) > 0) {
            char bytes[256];
            const ssize_t size = ::read(fd, bytes, sizeof(bytes));
            if (size <= 0)
                break;
            answer.append(bytes, int(size));
        }
        return answer;
    }
    int fd = -1;
};

QByteArray readRequest(int id, int function, int address, int count)
{
    const char bytes[] = {char(id),           char(function),
                          char(address >> 8), char(address & 0xFF),
                          char(count >> 8),   char(count & 0xFF)};
    return withCrc(QByteArray(bytes, 6));
}

// A Modbus TCP read request.
QByteArray tcpRequest(int transaction, int unit, int function, int address, int count)
{
    const char bytes[] = {char(transaction >> 8),
                          char(transaction & 0xFF),
                          0,
                          0,
                          0,
                          6,
                          char(unit),
                          char(function),
                          char(address >> 8),
                          char(address & 0xFF),
                          char(count >> 8),
                          char(count & 0xFF)};
    return QByteArray(bytes, 12);
}

// A Modbus TCP answer: the header for `pdu` and the pdu.
QByteArray tcpAnswer(int transaction, int unit, const QByteArray &pdu)
{
    const char header[] = {char(transaction >> 8),      char(transaction & 0xFF),      0,         0,
                           char((pdu.size() + 1) >> 8), char((pdu.size() + 1) & 0xFF), char(unit)};
    return QByteArray(header, 7) + pdu;
}

// Starts hydrovane-sim with arguments; the words of its ready line, empty when it did not
// get ready.
QStringList startSim(QProcess &sim, const QStringList &arguments)
{
    sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sim.start(HYDROVANE_SIM_PATH, arguments);
    QByteArray output;
    while (!output.contains('\n') && sim.waitForReadyRead(10000))
        output += sim.readAllStandardOutput();
    return output.startsWith("ready ") ? QString::fromUtf8(output).trimmed().split(' ')
                                       : QStringList();
}

// How the simulator treated one read of the name registers 0x4001..0x4003, in the words of
// the cycle key: "ok", "model" (another name), "crc", "silent", "exception", or "?".
QString treatment(RawLine &line, int id, const QByteArray &ownName, int quietMs = 150)
{
    const QByteArray answer = line.exchange(readRequest(id, 4, 0x4001, 3), 11, quietMs);
    if (answer.isEmpty())
        return "silent";
    if (withCrc(answer.left(answer.size() - 2)) != answer)
        return "crc";
    if (answer.size() == 5 && quint8(answer[1]) == 0x84)
        return "exception";
    if (answer.size() != 11)
        return "?";
    return answer.mid(3, 6) == ownName ? "ok" : "model";
}

// Of `requests` reads of one measurement word, which answers had a spoilt CRC: '1' for each
// spoilt one, '0' for a good one, '?' for a missing answer or one of another length.
QString crcPattern(RawLine &line, int id, int requests)
{
    QString pattern;
    for (int i = 0; i < requests; ++i) {
        const QByteArray answer = line.exchange(readRequest(id, 4, 0x4004, 1), 7, 150);
        pattern += answer.size() != 7 ? '?' : withCrc(answer.left(5)) != answer ? '1' : '0';
    }
    return pattern;
}

} // namespace

class TestHydrovaneSim : public QObject
{
    Q_OBJECT

private slots:
    void independentMasterReadsTheRegisters();
    void answersAreWellFormedFrames();
    void exceptionsForRequestsOutsideTheMap();
    void silentTowardUnknownIdsBroadcastsAndBadCrc();
    void unfixedValuesMoveInsideTheRange();
    void wireTimeDelaysEachAnswer();
    void linkSurvivesTheStationAndRestarts();
    void flapAndBurstCountEachIdsRequests();
    void cycleRepeatsItsSteps();
    void crcRateSpoilsItsShareRepeatably();
    void crcRateAddsToOtherFaultsInsideTheWindow();
    void gatewaysAndLineServeOneChainTogether();
    void gatewayFaultsMistreatAsDocumented();
    void refusesBadCommandLines_data();
    void refusesBadCommandLines();
};

void TestHydrovaneSim::independentMasterReadsTheRegisters()
{
    SimulatorProcess sim({"3:DO580:main=725,temper=-5,r1sp=650"});
    QVERIFY(sim.isReady());
    const auto poll = [&](const QString &table, int reference, int count) {
        QProcess mbpoll;
        mbpoll.start("mbpoll", {"-m",
                                "rtu",
                                "-a",
                                "3",
                                "-b",
                                "9600",
                                "-P",
                                "none",
                                "-s",
                                "2",
                                "-t",
                                table,
                                "-0",
                                "-r",
                                QString::number(reference),
                                "-c",
                                QString::number(count),
                                "-1",
                                "-o",
                                "1",
                                sim.linkPath()});
        mbpoll.waitForFinished(10000);
        return QString::fromUtf8(mbpoll.readAllStandardOutput() + mbpoll.readAllStandardError());
    };
    const QString input = poll("3", 0x4001, 5);
    QVERIFY2(input.contains("[16385]: \t17487"), qPrintable(input)); // "DO"
    QVERIFY(input.contains("[16386]: \t13624"));                     // "58"
    QVERIFY(input.contains("[16387]: \t12320"));                     // "0 "
    QVERIFY(input.contains("[16388]: \t725"));
    QVERIFY(input.contains("[16389]: \t65531 (-5)"));
    const QString holding = poll("4", 0x3006, 11);
    QVERIFY2(holding.contains("[12294]: \t0"), qPrintable(holding)); // pH mode
    QVERIFY(holding.contains("[12295]: \t2"));                       // temperature fitted
    QVERIFY(holding.contains("[12302]: \t1"));                       // relay 1 on
    QVERIFY(holding.contains("[12303]: \t650"));
    QVERIFY(poll("4", 0x3011, 1).contains("Illegal data address"));
}

void TestHydrovaneSim::answersAreWellFormedFrames()
{
    SimulatorProcess sim({"7:DI590:main=850,temper=0xFF9C"});
    RawLine line(sim.linkPath());
    const char measurement[] = {7, 4, 4, 0x03, 0x52, char(0xFF), char(0x9C)};
    QCOMPARE(line.exchange(readRequest(7, 4, 0x4004, 2), 9), withCrc(QByteArray(measurement, 7)));
    const char name[] = {7, 4, 6, 'D', 'I', '5', '9', '0', ' '};
    QCOMPARE(line.exchange(readRequest(7, 4, 0x4001, 3), 11), withCrc(QByteArray(name, 9)));
}

void TestHydrovaneSim::exceptionsForRequestsOutsideTheMap()
{
    SimulatorProcess sim({"7:RA550"});
    RawLine line(sim.linkPath());
    const auto exception = [](int function, int code) {
        const char bytes[] = {7, char(function | 0x80), char(code)};
        return withCrc(QByteArray(bytes, 3));
    };
    QCOMPARE(line.exchange(readRequest(7, 3, 0x3005, 2), 5), exception(3, 2));
    QCOMPARE(line.exchange(readRequest(7, 3, 0x3010, 2), 5), exception(3, 2));
    QCOMPARE(line.exchange(readRequest(7, 4, 0x3006, 1), 5), exception(4, 2));
    QCOMPARE(line.exchange(readRequest(7, 4, 0x4001, 0), 5), exception(4, 3));
    // Write single register: this slave only answers reads.
    QCOMPARE(line.exchange(readRequest(7, 6, 0x300B, 1), 5), exception(6, 1));
    QCOMPARE(line.exchange(readRequest(7, 3, 0x3010, 1), 7).size(), 7);
}

void TestHydrovaneSim::silentTowardUnknownIdsBroadcastsAndBadCrc()
{
    SimulatorProcess sim({"7:DI590"});
    RawLine line(sim.linkPath());
    QCOMPARE(line.exchange(readRequest(8, 4, 0x4004, 1), 7), QByteArray());
    QCOMPARE(line.exchange(readRequest(0, 4, 0x4004, 1), 7), QByteArray());
    QByteArray corrupted = readRequest(7, 4, 0x4004, 1);
    corrupted[7] = char(corrupted[7] ^ 1);
    QCOMPARE(line.exchange(corrupted, 7), QByteArray());
    // And it still answers afterwards.
    QCOMPARE(line.exchange(readRequest(7, 4, 0x4004, 1), 7).size(), 7);
}

void TestHydrovaneSim::unfixedValuesMoveInsideTheRange()
{
    SimulatorProcess sim({"1:DO580", "2:RA550:variant=1"});
    ComPortCtrl ctrl;
    QCOMPARE(sim.open(ctrl), 0);
    QSet<int> seen;
    for (int i = 0; i < 20; ++i) {
        uint16_t words[2] = {};
        QVERIFY(modbus_set_slave(ctrl.getContext(), 1) == 0);
        QCOMPARE(modbus_read_input_registers(ctrl.getContext(), 0x4004, 2, words), 2);
        QVERIFY2(words[0] >= 200 && words[0] <= 1200, qPrintable(QString::number(words[0])));
        QVERIFY(int16_t(words[1]) >= -200 && int16_t(words[1]) <= 1300);
        seen.insert(words[0]);
        QVERIFY(modbus_set_slave(ctrl.getContext(), 2) == 0);
        QCOMPARE(modbus_read_input_registers(ctrl.getContext(), 0x4004, 1, words), 1);
        QVERIFY(words[0] <= 2000); // 2 ppm with three decimals
    }
    QVERIFY(seen.size() > 1);
}

void TestHydrovaneSim::wireTimeDelaysEachAnswer()
{
    SimulatorProcess sim({"1:DI590"},
                         {"--wire-time", "--baud", "2400", "--parity", "E", "--stopbits", "1"});
    RawLine line(sim.linkPath());
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(line.exchange(readRequest(1, 4, 0x4004, 2), 9, 2000).size(), 9);
    // 8 + 9 characters and two 3.5-character silences of 11 bits at 2400 baud.
    QVERIFY2(timer.elapsed() >= (8 + 9 + 7) * 11 * 1000 / 2400,
             qPrintable(QString::number(timer.elapsed())));
}

void TestHydrovaneSim::linkSurvivesTheStationAndRestarts()
{
    QString link;
    {
        SimulatorProcess sim({"1:DI590:main=100"});
        link = sim.linkPath();
        ComPortCtrl ctrl;
        uint16_t word = 0;
        for (int round = 0; round < 2; ++round) {
            // The station closing and reopening its side does not hang the simulator up.
            QCOMPARE(sim.open(ctrl), 0);
            QVERIFY(modbus_set_slave(ctrl.getContext(), 1) == 0);
            QCOMPARE(modbus_read_input_registers(ctrl.getContext(), 0x4004, 1, &word), 1);
            QCOMPARE(ctrl.close(), 0);
        }
        // Killed, it leaves a dangling link, which the next start replaces.
        sim.kill();
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(sim.start());
        QCOMPARE(sim.open(ctrl), 0);
        QVERIFY(modbus_set_slave(ctrl.getContext(), 1) == 0);
        QCOMPARE(modbus_read_input_registers(ctrl.getContext(), 0x4004, 1, &word), 1);
        QCOMPARE(word, uint16_t(100));
    }
    QVERIFY(!QFileInfo(link).isSymLink()); // removed at SIGTERM
}

void TestHydrovaneSim::flapAndBurstCountEachIdsRequests()
{
    SimulatorProcess sim({"1:DI590:fault=flap", "2:RO592:fault=flap",
                          "3:DI590:fault=burst,burstsilent=2,burstevery=5"});
    RawLine line(sim.linkPath());
    // Interleaved, so that a count shared by the ids would show.
    const int ids[] = {1, 1, 2, 1, 2, 2, 1, 2};
    QStringList flapped;
    for (int id : ids)
        flapped << QString("%1%2").arg(id).arg(treatment(line, id, id == 1 ? "DI590 " : "RO592 "));
    QCOMPARE(flapped,
             QStringList({"1ok", "1silent", "2ok", "1ok", "2silent", "2ok", "1silent", "2silent"}));
    QStringList burst;
    for (int i = 0; i < 10; ++i)
        burst << treatment(line, 3, "DI590 ");
    QCOMPARE(burst, QStringList({"ok", "ok", "ok", "silent", "silent", "ok", "ok", "ok", "silent",
                                 "silent"}));
}

void TestHydrovaneSim::cycleRepeatsItsSteps()
{
    SimulatorProcess sim({"4:DI590:cycle=crc/ok/silent/model/exception",
                          "5:DO580:model=XY123,cycle=model/ok", "6:RA550:cycle=model"});
    RawLine line(sim.linkPath());
    QStringList seen;
    for (int i = 0; i < 10; ++i)
        seen << treatment(line, 4, "DI590 ");
    QCOMPARE(seen, QStringList({"crc", "ok", "silent", "model", "exception", "crc", "ok", "silent",
                                "model", "exception"}));
    // The other name is model=, or the next model; only the model steps answer it.
    QCOMPARE(treatment(line, 5, "XY123 "), QString("ok"));
    QCOMPARE(treatment(line, 5, "DO580 "), QString("ok"));
    QCOMPARE(treatment(line, 6, "DI590 "), QString("ok"));
    // A model step's measurement read is answered as usual.
    QCOMPARE(line.exchange(readRequest(6, 4, 0x4004, 2), 9).size(), 9);
}

void TestHydrovaneSim::crcRateSpoilsItsShareRepeatably()
{
    const int requests = 400;
    const QStringList chain{"1:DI590:crcrate=0.5", "2:DI590:crcrate=0", "3:DI590:crcrate=1"};
    QString first;
    {
        SimulatorProcess sim(chain, {"--seed", "42"});
        RawLine line(sim.linkPath());
        first = crcPattern(line, 1, requests);
        QVERIFY(!first.contains('?'));
        QVERIFY2(first.count('1') >= requests * 40 / 100 && first.count('1') <= requests * 60 / 100,
                 qPrintable(QString::number(first.count('1'))));
        QCOMPARE(crcPattern(line, 2, 50), QString(50, '0'));
        QCOMPARE(crcPattern(line, 3, 50), QString(50, '1'));
    }
    {
        // The same seed spoils the same answers, whatever the other ids were asked before.
        SimulatorProcess sim(chain, {"--seed", "42"});
        RawLine line(sim.linkPath());
        QCOMPARE(crcPattern(line, 3, 20), QString(20, '1'));
        QCOMPARE(crcPattern(line, 2, 20), QString(20, '0'));
        QCOMPARE(crcPattern(line, 1, requests), first);
    }
    SimulatorProcess other(chain, {"--seed", "43"});
    RawLine line(other.linkPath());
    QVERIFY(crcPattern(line, 1, requests) != first);
}

void TestHydrovaneSim::crcRateAddsToOtherFaultsInsideTheWindow()
{
    SimulatorProcess sim({"1:DI590:fault=flap,crcrate=1", "2:DI590:fault=exception,crcrate=1",
                          "3:DI590:cycle=ok/silent/model,crcrate=1",
                          "4:DI590:crcrate=1,faultfrom=3600"});
    RawLine line(sim.linkPath());
    QStringList seen;
    for (int i = 0; i < 4; ++i)
        seen << treatment(line, 1, "DI590 ");
    for (int i = 0; i < 3; ++i)
        seen << treatment(line, 3, "DI590 ");
    // What is sent is spoilt; what is left unanswered stays so.
    QCOMPARE(seen, QStringList({"crc", "silent", "crc", "silent", "crc", "silent", "crc"}));
    const QByteArray exception = line.exchange(readRequest(2, 4, 0x4004, 1), 5);
    QCOMPARE(exception.size(), 5);
    QCOMPARE(quint8(exception[1]), quint8(0x84));
    QVERIFY(withCrc(exception.left(3)) != exception);
    // Before the window opens nothing is spoilt.
    QCOMPARE(crcPattern(line, 4, 10), QString(10, '0'));
}

void TestHydrovaneSim::gatewaysAndLineServeOneChainTogether()
{
    QTemporaryDir dir;
    const QString link = dir.filePath("line");
    QProcess sim;
    const QStringList ready = startSim(sim, {"--link", link, "--tcp", "127.0.0.1:0", "--tcp", "0",
                                             "7:DI590:main=850", "9:DO580:main=300,temper=200"});
    QCOMPARE(ready.size(), 4);
    QCOMPARE(ready[1], link);
    QVERIFY(ready[2].startsWith("tcp:") && ready[3].startsWith("tcp:"));
    for (int gateway : {2, 3}) {
        RawLine line(ready[gateway].mid(4).toInt());
        QVERIFY(line.fd >= 0);
        // The transaction comes back, the unit id picks the instrument, the length counts
        // the unit id and the pdu.
        const char measurement[] = {4, 2, 0x03, 0x52};
        QCOMPARE(line.exchange(tcpRequest(0x1234, 7, 4, 0x4004, 1), 11),
                 tcpAnswer(0x1234, 7, QByteArray(measurement, 4)));
        const char two[] = {4, 4, 0x01, 0x2C, 0x00, char(0xC8)};
        QCOMPARE(line.exchange(tcpRequest(0xFFFF, 9, 4, 0x4004, 2), 13),
                 tcpAnswer(0xFFFF, 9, QByteArray(two, 6)));
        const char exception[] = {char(0x83), 2};
        QCOMPARE(line.exchange(tcpRequest(3, 9, 3, 0x2000, 1), 9),
                 tcpAnswer(3, 9, QByteArray(exception, 2)));
        // No instrument behind unit 8: no answer, and the connection stays usable.
        QCOMPARE(line.exchange(tcpRequest(4, 8, 4, 0x4004, 1), 11, 200), QByteArray());
        QCOMPARE(line.exchange(tcpRequest(5, 7, 4, 0x4004, 1), 11).size(), 11);
    }
    // The line still answers beside them.
    RawLine serial(link);
    QCOMPARE(serial.exchange(readRequest(7, 4, 0x4004, 1), 7).size(), 7);
    sim.terminate();
    QVERIFY(sim.waitForFinished(5000));
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

void TestHydrovaneSim::gatewayFaultsMistreatAsDocumented()
{
    // Writing to a connection the simulator closed must fail, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    const QStringList chain{"3:DI590:main=100", "6:DI590:main=600"};
    const char three[] = {4, 2, 0, 100};
    const char six[] = {4, 2, 0x02, 0x58};
    const auto gateway = [&](const char *fault) {
        return std::make_unique<SimulatorProcess>(chain, QStringList{"--tcp-fault", fault},
                                                  SimulatorProcess::Gateway);
    };
    {
        auto sim = gateway("silent");
        RawLine line(sim->tcpPort());
        QCOMPARE(line.exchange(tcpRequest(1, 3, 4, 0x4004, 1), 11, 300), QByteArray());
        QVERIFY(!line.closedByPeer(100));
    }
    {
        // Each unit's request is served by the next id, which answers under its own.
        auto sim = gateway("otherunit");
        RawLine line(sim->tcpPort());
        QCOMPARE(line.exchange(tcpRequest(1, 3, 4, 0x4004, 1), 11),
                 tcpAnswer(1, 6, QByteArray(six, 4)));
        QCOMPARE(line.exchange(tcpRequest(2, 6, 4, 0x4004, 1), 11),
                 tcpAnswer(2, 3, QByteArray(three, 4)));
    }
    {
        auto sim = gateway("close");
        RawLine line(sim->tcpPort());
        QCOMPARE(line.exchange(tcpRequest(1, 3, 4, 0x4004, 1), 11),
                 tcpAnswer(1, 3, QByteArray(three, 4)));
        QVERIFY(line.closedByPeer());
        RawLine again(sim->tcpPort());
        QCOMPARE(again.exchange(tcpRequest(2, 6, 4, 0x4004, 1), 11).size(), 11);
    }
    {
        auto sim = gateway("drop");
        RawLine line(sim->tcpPort());
        QCOMPARE(line.exchange(tcpRequest(1, 3, 4, 0x4004, 1), 11, 300), QByteArray());
        QVERIFY(line.closedByPeer(0));
    }
    {
        // The first answer and every fifth after it: the real answer announced as 65535 bytes
        // long, then answers to the next transactions with 0x0BAD, 64 KB in all.
        auto sim = gateway("huge");
        RawLine line(sim->tcpPort());
        const QByteArray huge = line.exchange(tcpRequest(0x10, 3, 4, 0x4004, 1), 65536, 500);
        QCOMPARE(huge.size(), 65536);
        QCOMPARE(huge.left(4), tcpAnswer(0x10, 3, QByteArray(three, 4)).left(4));
        QCOMPARE(quint8(huge[4]), quint8(0xFF));
        QCOMPARE(quint8(huge[5]), quint8(0xFF));
        QCOMPARE(huge.mid(6, 5), tcpAnswer(0x10, 3, QByteArray(three, 4)).mid(6));
        const char bad[] = {4, 2, 0x0B, char(0xAD)};
        QCOMPARE(huge.mid(11, 11), tcpAnswer(0x11, 3, QByteArray(bad, 4)));
        for (int i = 2; i <= 5; ++i)
            QCOMPARE(line.exchange(tcpRequest(0x10 + i, 3, 4, 0x4004, 1), 11).size(), 11);
        QCOMPARE(line.exchange(tcpRequest(0x20, 3, 4, 0x4004, 1), 65536, 500).size(), 65536);
    }
}

void TestHydrovaneSim::refusesBadCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no link") << QStringList{"1:DI590"};
    QTest::newRow("unknown model") << QStringList{"--link", "x", "1:DI591"};
    QTest::newRow("unknown key") << QStringList{"--link", "x", "1:DI590:colour=2"};
    QTest::newRow("bad value") << QStringList{"--link", "x", "1:DI590:main=12a"};
    QTest::newRow("unknown fault") << QStringList{"--link", "x", "1:DI590:fault=late"};
    QTest::newRow("id 0") << QStringList{"--link", "x", "0:DI590"};
    QTest::newRow("id twice") << QStringList{"--link", "x", "2:DI590", "2:RA550"};
    QTest::newRow("parity") << QStringList{"--link", "x", "--parity", "X", "1:DI590"};
    QTest::newRow("pattern in a cycle") << QStringList{"--link", "x", "1:DI590:cycle=ok/flap"};
    QTest::newRow("unknown step") << QStringList{"--link", "x", "1:DI590:cycle=ok/late"};
    QTest::newRow("empty step") << QStringList{"--link", "x", "1:DI590:cycle=ok//crc"};
    QTest::newRow("empty last step") << QStringList{"--link", "x", "1:DI590:cycle=ok/"};
    QTest::newRow("cycle and fault")
        << QStringList{"--link", "x", "1:DI590:fault=crc,cycle=ok/silent"};
    QTest::newRow("crcrate above 1") << QStringList{"--link", "x", "1:DI590:crcrate=1.5"};
    QTest::newRow("crcrate negative") << QStringList{"--link", "x", "1:DI590:crcrate=-0.1"};
    QTest::newRow("burst key alone") << QStringList{"--link", "x", "1:DI590:burstsilent=2"};
    QTest::newRow("burst key with flap")
        << QStringList{"--link", "x", "1:DI590:fault=flap,burstevery=4"};
    QTest::newRow("burst silent beyond every")
        << QStringList{"--link", "x", "1:DI590:fault=burst,burstsilent=5,burstevery=4"};
    QTest::newRow("burst of none")
        << QStringList{"--link", "x", "1:DI590:fault=burst,burstevery=0"};
    QTest::newRow("tcp port not a number") << QStringList{"--tcp", "x", "1:DI590"};
    QTest::newRow("tcp port too high") << QStringList{"--tcp", "70000", "1:DI590"};
    QTest::newRow("tcp empty address") << QStringList{"--tcp", ":5020", "1:DI590"};
    QTest::newRow("tcp without value") << QStringList{"1:DI590", "--tcp"};
    QTest::newRow("unknown gateway fault")
        << QStringList{"--tcp", "0", "--tcp-fault", "late", "1:DI590"};
    QTest::newRow("gateway fault without gateway")
        << QStringList{"--link", "x", "--tcp-fault", "silent", "1:DI590"};
}

void TestHydrovaneSim::refusesBadCommandLines()
{
    QFETCH(QStringList, arguments);
    QProcess sim;
    sim.start(HYDROVANE_SIM_PATH, arguments);
    QVERIFY(sim.waitForFinished(10000));
    QCOMPARE(sim.exitCode(), 2);
    QVERIFY(sim.readAllStandardOutput().isEmpty());
}

QTEST_GUILESS_MAIN(TestHydrovaneSim)
#include "tst_hydrovanesim.moc"
