#ifndef COMPORTCTRL_H
#define COMPORTCTRL_H

#include "linestatistics.h"

#include <string>

#include <modbus.h>

// A line of instruments: a serial port (its five settings, Modbus RTU) or a Modbus TCP
// gateway (host and port), and while open its libmodbus context. Settings are applied at the
// next open. The line's statistics live here too.
class ComPortCtrl
{
public:
    ComPortCtrl();
    ~ComPortCtrl();
    ComPortCtrl(const ComPortCtrl &) = delete;
    ComPortCtrl &operator=(const ComPortCtrl &) = delete;

    // How the line reaches its instruments: a serial port (Modbus RTU) or a gateway on the
    // network (Modbus TCP, the unit id being the monitor's id).
    enum LineType
    {
        Rtu = 0,
        Tcp = 1
    };
    // The operator's name of the line, unique in the station.
    void setName(const std::string &value) { name = value; }
    const std::string &getName() const { return name; }
    void setType(LineType value) { type = value; }
    LineType getType() const { return type; }
    // Of a TCP line: the gateway's host name or address, and its port.
    void setHost(const std::string &value) { host = value; }
    const std::string &getHost() const { return host; }
    void setTcpPort(int value) { tcpPort = value; }
    int getTcpPort() const { return tcpPort; }

    void setPort(const char *name) { port = name ? name : ""; }
    void setBaudrate(int value) { baudrate = value; }
    void setDatabit(int value) { databit = value; }
    void setStopbit(int value) { stopbit = value; }
    void setParity(char value) { parity = value; }
    // The response timeout in seconds, kept within minTimeout..maxTimeout.
    void setTimeout(double seconds);

    const char *getPort() const { return port.c_str(); }
    int getBaudrate() const { return baudrate; }
    int getDatabit() const { return databit; }
    int getStopbit() const { return stopbit; }
    char getParity() const { return parity; }
    double getTimeout() const { return timeout; }
    modbus_t *getContext() const { return context; }

    // 0 when the line is open, -1 when it could not be opened (the line is then closed).
    // A gateway's context is only made here, without touching the network: the reader thread
    // connects before its first exchange (connectGateway). -1 for a gateway then means
    // settings no context can be made of (no host, a port outside 1..65535).
    int open();
    // Opens the line again with the settings of the last open(), whatever was set since:
    // the reader reopens a lost device with it while the panel's settings may change. A
    // gateway is connected too, so that 0 means it answers again.
    int reopen();
    // Of an open gateway line without a connection: connects, on the calling thread, within
    // the response timeout. 0 when connected, and always for a serial line; -1 otherwise,
    // with getLastError() set.
    int connectGateway();
    // The system's error number of the last failed open; 0 after a successful one, and
    // when the settings were refused before the device was tried.
    int getLastError() const { return lastError; }
    // Always 0.
    int close();

    LineStatistics &statistics() { return lineStatistics; }

    static constexpr double defaultTimeout = 1.0;
    static constexpr double minTimeout = 0.2;
    static constexpr double maxTimeout = 5.0;

    // The device the operator's port name stands for on this platform.
    static std::string deviceName(const std::string &port);
    // The longest host name a gateway may have.
    static constexpr size_t maxHostLength = 253;

private:
    struct Settings
    {
        LineType type = Rtu;
        std::string host;
        int tcpPort = 502;
        std::string device;
        int baudrate = 0;
        int databit = 8;
        int stopbit = 2;
        char parity = 'N';
        double timeout = defaultTimeout;
    };

    int openWith(const Settings &settings);
    int openGateway(const Settings &settings);

    std::string name;
    LineType type = Rtu;
    std::string host;
    int tcpPort = 502;
    std::string port;
    int baudrate;
    int databit;
    int stopbit;
    char parity;
    double timeout = defaultTimeout;
    modbus_t *context;
    LineStatistics lineStatistics;
    int lastError;
    Settings opened; // of the last open(), under the line's mutex
};

#endif // COMPORTCTRL_H
