#ifndef TCPLINK_H
#define TCPLINK_H

#include <cstdint>

#include <modbus.h>

// Register reads through a Modbus TCP gateway on a libmodbus TCP context. libmodbus 3.1 takes
// an answer whatever its unit id and length field say, so the request is framed here and its
// answer checked in full: a gateway that routes a request to another instrument must not have
// that instrument's values taken for the one asked. After a failed exchange the connection is
// dropped, the one sure way back into step with the stream, and made again at the next one.
class TcpLink
{
public:
    // Whether the context speaks Modbus TCP rather than RTU.
    static bool isTcp(modbus_t *context);
    // Connects the context unless it is connected; 0, or -1 with errno set.
    static int connect(modbus_t *context);
    // Closes the connection; the context stays usable for connect().
    static void disconnect(modbus_t *context);

    // Reads `count` registers of `function` (3 or 4) at `address` of unit `unit` into words,
    // connecting first when needed. A connection the gateway closed or reset is made again at
    // once and the request repeated, up to `attempts` in all. Returns count, or -1 with errno
    // set as libmodbus sets it (ETIMEDOUT, EMBBADDATA, EMBBADSLAVE, exception codes...);
    // *gatewayLost is then true when the gateway could not be reached or kept dropping the
    // connection: the line is lost.
    static int readRegisters(modbus_t *context, int unit, int function, int address, int count,
                             uint16_t *words, bool *gatewayLost);

    static constexpr int attempts = 3;
    // Bytes of a read request and of an answer without its data (an exception answer's size).
    static constexpr int requestBytes = 12;
    static constexpr int answerHeaderBytes = 9;

private:
    static int exchange(modbus_t *context, int unit, int function, int address, int count,
                        uint16_t *words);
};

#endif // TCPLINK_H
