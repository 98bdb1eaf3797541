#include "line/comportctrl.h"

#include <QtTest>

#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

// A pseudo-terminal pair standing in for a serial device.
class Pty
{
public:
    Pty()
    {
        char name[256] = {};
        if (openpty(&master, &slave, name, nullptr, nullptr) == 0)
            path = name;
    }
    ~Pty()
    {
        if (master >= 0)
            ::close(master);
        if (slave >= 0)
            ::close(slave);
    }
    int master = -1;
    int slave = -1;
    std::string path;
};

// A listening socket on a free port of 127.0.0.1 standing in for a gateway.
class Listener
{
public:
    Listener()
    {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0 &&
            listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
            port = ntohs(address.sin_port);
    }
    ~Listener() { stop(); }
    void stop()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
    int fd = -1;
    int port = 0;
};

class TestComPortCtrl : public QObject
{
    Q_OBJECT

private slots:
    void startsClosedWithDefaults();
    void deviceNamesMapToLinuxDevices();
    void opensAPseudoTerminalWithOneSecondTimeout();
    void reopeningReplacesTheContext();
    void badSettingsFailAndLeaveTheLineClosed_data();
    void badSettingsFailAndLeaveTheLineClosed();
    void closingIsAlwaysSafe();
    void gatewayOpensWithoutTouchingTheNetwork();
    void gatewaySettingsWithoutAContextFail_data();
    void gatewaySettingsWithoutAContextFail();
    void gatewayConnectsOnRequestAndReopensOnlyWhenAccepted();
};

void TestComPortCtrl::startsClosedWithDefaults()
{
    ComPortCtrl ctrl;
    QCOMPARE(QString(ctrl.getPort()), QString("COM1"));
    QCOMPARE(ctrl.getBaudrate(), 9600);
    QCOMPARE(ctrl.getDatabit(), 8);
    QCOMPARE(ctrl.getStopbit(), 2);
    QCOMPARE(ctrl.getParity(), 'N');
    QVERIFY(ctrl.getContext() == nullptr);
}

void TestComPortCtrl::deviceNamesMapToLinuxDevices()
{
    QCOMPARE(ComPortCtrl::deviceName("COM1"), std::string("/dev/ttyS0"));
    QCOMPARE(ComPortCtrl::deviceName("COM9"), std::string("/dev/ttyS8"));
    QCOMPARE(ComPortCtrl::deviceName("COM10"), std::string("/dev/ttyS9"));
    QCOMPARE(ComPortCtrl::deviceName("COM100"), std::string("/dev/ttyS99"));
    QCOMPARE(ComPortCtrl::deviceName("/dev/ttyUSB0"), std::string("/dev/ttyUSB0"));
    QCOMPARE(ComPortCtrl::deviceName("/tmp/sim link"), std::string("/tmp/sim link"));
    // Not a COM number: passed on as it is and left to the device open to judge.
    QCOMPARE(ComPortCtrl::deviceName("COM"), std::string("COM"));
    QCOMPARE(ComPortCtrl::deviceName("COM0"), std::string("COM0"));
    QCOMPARE(ComPortCtrl::deviceName("COMx1"), std::string("COMx1"));
}

void TestComPortCtrl::opensAPseudoTerminalWithOneSecondTimeout()
{
    Pty pty;
    QVERIFY(!pty.path.empty());
    ComPortCtrl ctrl;
    ctrl.setPort(pty.path.c_str());
    ctrl.setBaudrate(19200);
    ctrl.setParity('E');
    ctrl.setStopbit(1);
    QCOMPARE(ctrl.open(), 0);
    QVERIFY(ctrl.getContext() != nullptr);
    uint32_t seconds = 0, microseconds = 0;
    QCOMPARE(modbus_get_response_timeout(ctrl.getContext(), &seconds, &microseconds), 0);
    QCOMPARE(seconds, 1u);
    QCOMPARE(microseconds, 0u);
    QCOMPARE(ctrl.close(), 0);
    QVERIFY(ctrl.getContext() == nullptr);
}

void TestComPortCtrl::reopeningReplacesTheContext()
{
    Pty first, second;
    ComPortCtrl ctrl;
    ctrl.setPort(first.path.c_str());
    QCOMPARE(ctrl.open(), 0);
    // The next open uses the settings held now, on a fresh context.
    ctrl.setPort(second.path.c_str());
    QCOMPARE(ctrl.open(), 0);
    QVERIFY(ctrl.getContext() != nullptr);
    QCOMPARE(modbus_get_socket(ctrl.getContext()) >= 0, true);
    // A failing reopen frees the old context and leaves the line closed.
    ctrl.setPort("/dev/does-not-exist-hydrovane");
    QCOMPARE(ctrl.open(), -1);
    QVERIFY(ctrl.getContext() == nullptr);
    QCOMPARE(ctrl.getLastError(), ENOENT);
    ctrl.setPort(second.path.c_str());
    QCOMPARE(ctrl.open(), 0);
    QCOMPARE(ctrl.getLastError(), 0);
}

void TestComPortCtrl::badSettingsFailAndLeaveTheLineClosed_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<int>("baudrate");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("error"); // the system's reason kept for the operator
    // An empty port stands for a working pseudo-terminal in the rows below.
    QTest::newRow("missing device")
        << "/dev/does-not-exist-hydrovane" << 9600 << int('N') << ENOENT;
    QTest::newRow("not a terminal") << "/dev/null" << 9600 << int('N') << ENOTTY;
    QTest::newRow("empty port name") << "<none>" << 9600 << int('N') << 0;
    QTest::newRow("baud rate 0") << "" << 0 << int('N') << 0;
    QTest::newRow("parity X") << "" << 9600 << int('X') << 0;
    QTest::newRow("parity lower-case e") << "" << 9600 << int('e') << 0;
    QTest::newRow("parity NUL") << "" << 9600 << 0 << 0;
}

void TestComPortCtrl::badSettingsFailAndLeaveTheLineClosed()
{
    QFETCH(QString, port);
    QFETCH(int, baudrate);
    QFETCH(int, parity);
    QFETCH(int, error);
    Pty pty;
    ComPortCtrl ctrl;
    // A reason left from an earlier failure never sticks to the next one.
    ctrl.setPort("/dev/does-not-exist-hydrovane");
    ctrl.open();
    const std::string name = port.isEmpty() ? pty.path : port == "<none>" ? "" : port.toStdString();
    ctrl.setPort(name.c_str());
    ctrl.setBaudrate(baudrate);
    ctrl.setParity(char(parity));
    QCOMPARE(ctrl.open(), -1);
    QVERIFY(ctrl.getContext() == nullptr);
    QCOMPARE(ctrl.getLastError(), error);
    QCOMPARE(ctrl.close(), 0);
}

void TestComPortCtrl::closingIsAlwaysSafe()
{
    ComPortCtrl ctrl;
    QCOMPARE(ctrl.close(), 0);
    QCOMPARE(ctrl.close(), 0);
    Pty pty;
    ctrl.setPort(pty.path.c_str());
    QCOMPARE(ctrl.open(), 0);
    QCOMPARE(ctrl.close(), 0);
    QCOMPARE(ctrl.close(), 0);
    QVERIFY(ctrl.getContext() == nullptr);
}

void TestComPortCtrl::gatewayOpensWithoutTouchingTheNetwork()
{
    ComPortCtrl ctrl;
    ctrl.setType(ComPortCtrl::Tcp);
    // A documentation address nothing answers at: a connect would wait for the timeout.
    ctrl.setHost("192.0.2.1");
    ctrl.setTcpPort(502);
    ctrl.setTimeout(2.5);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(ctrl.open(), 0);
    QVERIFY(timer.elapsed() < 200);
    QVERIFY(ctrl.getContext() != nullptr);
    QCOMPARE(modbus_get_socket(ctrl.getContext()), -1);
    uint32_t seconds = 0, micro = 0;
    modbus_get_response_timeout(ctrl.getContext(), &seconds, &micro);
    QCOMPARE(seconds, 2u);
    QCOMPARE(micro, 500000u);
    // Host names are taken as they are, to be resolved when connecting.
    ctrl.setHost("gateway.invalid");
    timer.restart();
    QCOMPARE(ctrl.open(), 0);
    QVERIFY(timer.elapsed() < 200);
    QCOMPARE(ctrl.close(), 0);
}

void TestComPortCtrl::gatewaySettingsWithoutAContextFail_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("no host") << "" << 502;
    QTest::newRow("port 0") << "127.0.0.1" << 0;
    QTest::newRow("port 65536") << "127.0.0.1" << 65536;
    QTest::newRow("negative port") << "127.0.0.1" << -502;
    QTest::newRow("host too long") << QString(300, 'a') << 502;
}

void TestComPortCtrl::gatewaySettingsWithoutAContextFail()
{
    QFETCH(QString, host);
    QFETCH(int, port);
    ComPortCtrl ctrl;
    Listener listener;
    ctrl.setType(ComPortCtrl::Tcp);
    ctrl.setHost("127.0.0.1");
    ctrl.setTcpPort(listener.port);
    QCOMPARE(ctrl.open(), 0);
    ctrl.setHost(host.toStdString());
    ctrl.setTcpPort(port);
    QCOMPARE(ctrl.open(), -1);
    QVERIFY(ctrl.getContext() == nullptr);
    QCOMPARE(ctrl.getLastError(), 0);
    // Nor does the reader's reopen make one of them.
    QCOMPARE(ctrl.reopen(), -1);
    QVERIFY(ctrl.getContext() == nullptr);
}

void TestComPortCtrl::gatewayConnectsOnRequestAndReopensOnlyWhenAccepted()
{
    Listener listener;
    QVERIFY(listener.port > 0);
    ComPortCtrl ctrl;
    ctrl.setType(ComPortCtrl::Tcp);
    ctrl.setHost("localhost");
    ctrl.setTcpPort(listener.port);
    QCOMPARE(ctrl.open(), 0);
    QCOMPARE(ctrl.connectGateway(), 0);
    const int socket = modbus_get_socket(ctrl.getContext());
    QVERIFY(socket >= 0);
    // Connected already: nothing more is made.
    QCOMPARE(ctrl.connectGateway(), 0);
    QCOMPARE(modbus_get_socket(ctrl.getContext()), socket);
    QCOMPARE(ctrl.reopen(), 0);
    QVERIFY(modbus_get_socket(ctrl.getContext()) >= 0);

    // The gateway gone, reopening fails with the system's reason and leaves the line closed.
    // The settings of the open count, not those set since.
    listener.stop();
    ctrl.setHost("");
    QCOMPARE(ctrl.reopen(), -1);
    QCOMPARE(ctrl.getLastError(), ECONNREFUSED);
    QVERIFY(ctrl.getContext() == nullptr);

    // A serial line is connected by its open alone.
    Pty pty;
    ctrl.setType(ComPortCtrl::Rtu);
    ctrl.setPort(pty.path.c_str());
    QCOMPARE(ctrl.open(), 0);
    QCOMPARE(ctrl.connectGateway(), 0);
}

QTEST_APPLESS_MAIN(TestComPortCtrl)
#include "tst_comportctrl.moc"
