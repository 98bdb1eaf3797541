#include "tcplink.h"

#include <atomic>
#include <cerrno>

#include <sys/socket.h>

namespace {

// The MBAP header: transaction, protocol, length, unit id.
const int mbapBytes = 7;

std::atomic<unsigned> nextTransaction{0};

// What a gateway that closed or reset its side leaves the next request with.
bool connectionDropped(int error)
{
    return error == ECONNRESET || error == EPIPE || error == ENOTCONN || error == ECONNABORTED ||
           error == EBADF;
}

void put16(uint8_t *at, unsigned value)
{
    at[0] = uint8_t(value >> 8);
    at[1] = uint8_t(value & 0xFF);
}

bool exceptionAnswer(int error)
{
    return error >= EMBXILFUN && error <= EMBXGTAR;
}

} // namespace

bool TcpLink::isTcp(modbus_t *context)
{
    return context && modbus_get_header_length(context) == mbapBytes;
}

int TcpLink::connect(modbus_t *context)
{
    if (modbus_get_socket(context) >= 0)
        return 0;
    if (modbus_connect(context) == 0)
        return 0;
    const int error = errno;
    // A failed connect may leave its descriptor number behind.
    modbus_set_socket(context, -1);
    errno = error;
    return -1;
}

void TcpLink::disconnect(modbus_t *context)
{
    if (modbus_get_socket(context) < 0)
        return;
    modbus_close(context);
    modbus_set_socket(context, -1);
}

int TcpLink::readRegisters(modbus_t *context, int unit, int function, int address, int count,
                           uint16_t *words, bool *gatewayLost)
{
    *gatewayLost = false;
    int error = 0;
    for (int attempt = 0; attempt < attempts; ++attempt) {
        if (connect(context) != 0) {
            // Refused, unreachable, or not accepted within the response timeout.
            *gatewayLost = true;
            return -1;
        }
        const int rc = exchange(context, unit, function, address, count, words);
        if (rc >= 0)
            return rc;
        error = errno;
        // An exception answer is a whole frame: the stream is still in step.
        if (!exceptionAnswer(error))
            disconnect(context);
        if (!connectionDropped(error)) {
            errno = error;
            return -1;
        }
    }
    *gatewayLost = true;
    errno = error;
    return -1;
}

int TcpLink::exchange(modbus_t *context, int unit, int function, int address, int count,
                      uint16_t *words)
{
    const unsigned transaction = nextTransaction.fetch_add(1) & 0xFFFF;
    uint8_t request[requestBytes];
    put16(request, transaction);
    put16(request + 2, 0); // protocol
    put16(request + 4, 6); // bytes after the length
    request[6] = uint8_t(unit);
    request[7] = uint8_t(function);
    put16(request + 8, unsigned(address));
    put16(request + 10, unsigned(count));
    const int fd = modbus_get_socket(context);
    size_t sent = 0;
    while (sent < sizeof(request)) {
        const ssize_t size = send(fd, request + sent, sizeof(request) - sent, MSG_NOSIGNAL);
        if (size < 0 && errno == EINTR)
            continue;
        if (size <= 0)
            return -1;
        sent += size_t(size);
    }

    // libmodbus frames the answer by its function and byte count, within the response
    // timeout, and refuses one longer than a Modbus TCP frame can be.
    uint8_t answer[MODBUS_TCP_MAX_ADU_LENGTH];
    const int length = modbus_receive_confirmation(context, answer);
    if (length < 0)
        return -1;
    const int declared = answer[4] << 8 | answer[5];
    if (length < answerHeaderBytes || (answer[0] << 8 | answer[1]) != int(transaction) ||
        answer[2] != 0 || answer[3] != 0 || declared != length - 6) {
        errno = EMBBADDATA;
        return -1;
    }
    if (answer[6] != unit) {
        errno = EMBBADSLAVE;
        return -1;
    }
    if (answer[7] == (function | 0x80) && length == answerHeaderBytes) {
        const int code = answer[8];
        errno = code >= 1 && code <= EMBXGTAR - MODBUS_ENOBASE ? MODBUS_ENOBASE + code : EMBBADEXC;
        return -1;
    }
    if (answer[7] != function || answer[8] != 2 * count ||
        length != answerHeaderBytes + 2 * count) {
        errno = EMBBADDATA;
        return -1;
    }
    for (int i = 0; i < count; ++i)
        words[i] = uint16_t(answer[answerHeaderBytes + 2 * i] << 8 |
                            answer[answerHeaderBytes + 2 * i + 1]);
    return count;
}
