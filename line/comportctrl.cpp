#include "comportctrl.h"

#include "tcplink.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>

ComPortCtrl::ComPortCtrl()
    : port("COM1"), baudrate(9600), databit(8), stopbit(2), parity('N'), context(nullptr),
      lastError(0)
{
}

ComPortCtrl::~ComPortCtrl()
{
    close();
}

int ComPortCtrl::open()
{
    opened = Settings{type,    host,    tcpPort, deviceName(port), baudrate,
                      databit, stopbit, parity,  timeout};
    return openWith(opened);
}

int ComPortCtrl::reopen()
{
    if (openWith(opened) != 0)
        return -1;
    if (connectGateway() != 0) {
        close();
        return -1;
    }
    return 0;
}

int ComPortCtrl::connectGateway()
{
    if (!TcpLink::isTcp(context) || TcpLink::connect(context) == 0)
        return 0;
    lastError = errno;
    return -1;
}

int ComPortCtrl::openWith(const Settings &settings)
{
    close();
    lastError = 0;
    if (settings.type == Tcp)
        return openGateway(settings);

    // The library refuses these too, but prints its reason on stderr; the station shows
    // failures only through its own message.
    if (settings.device.empty() || settings.baudrate == 0 ||
        (settings.parity != 'N' && settings.parity != 'E' && settings.parity != 'O'))
        return -1;
    context = modbus_new_rtu(settings.device.c_str(), settings.baudrate, settings.parity,
                             settings.databit, settings.stopbit);
    if (!context) {
        lastError = errno;
        return -1;
    }
    modbus_set_debug(context, FALSE);
    modbus_set_error_recovery(context, MODBUS_ERROR_RECOVERY_NONE);
    if (modbus_connect(context) < 0) {
        lastError = errno;
        modbus_free(context);
        context = nullptr;
        return -1;
    }
    const long micro = std::lround(settings.timeout * 1e6);
    modbus_set_response_timeout(context, uint32_t(micro / 1000000), uint32_t(micro % 1000000));
    lineStatistics.setDevice(settings.device);
    return 0;
}

int ComPortCtrl::openGateway(const Settings &settings)
{
    // The library would print its reason on stderr for these.
    if (settings.host.empty() || settings.host.size() > maxHostLength || settings.tcpPort < 1 ||
        settings.tcpPort > 65535)
        return -1;
    // Host names and addresses of either family alike; nothing is resolved before connecting.
    context = modbus_new_tcp_pi(settings.host.c_str(), std::to_string(settings.tcpPort).c_str());
    if (!context) {
        lastError = errno;
        return -1;
    }
    modbus_set_debug(context, FALSE);
    // The exchanges make a dropped connection again themselves (TcpLink).
    modbus_set_error_recovery(context, MODBUS_ERROR_RECOVERY_NONE);
    const long micro = std::lround(settings.timeout * 1e6);
    modbus_set_response_timeout(context, uint32_t(micro / 1000000), uint32_t(micro % 1000000));
    // No device file that could vanish: a lost gateway shows in its exchanges.
    lineStatistics.setDevice(std::string());
    return 0;
}

void ComPortCtrl::setTimeout(double seconds)
{
    // NaN fails both comparisons of clamp's bounds, so it is tested first.
    timeout = std::isfinite(seconds) ? std::clamp(seconds, minTimeout, maxTimeout) : defaultTimeout;
}

int ComPortCtrl::close()
{
    if (context) {
        modbus_close(context);
        modbus_free(context);
        context = nullptr;
    }
    return 0;
}

std::string ComPortCtrl::deviceName(const std::string &port)
{
#ifdef _WIN32
    // COM10 and above exist only in the device namespace.
    if (port.size() > 4)
        return "\\\\.\\" + port;
    return port;
#else
    if (!port.empty() && port[0] == '/')
        return port;
    if (port.size() > 3 && port.compare(0, 3, "COM") == 0) {
        unsigned long number = 0;
        bool digits = port.size() <= 12;
        for (size_t i = 3; digits && i < port.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(port[i])))
                digits = false;
            else
                number = number * 10 + static_cast<unsigned long>(port[i] - '0');
        }
        if (digits && number >= 1)
            return "/dev/ttyS" + std::to_string(number - 1);
    }
    return port;
#endif
}
