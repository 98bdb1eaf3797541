#ifndef SYNCFAILURE_H
#define SYNCFAILURE_H

#include <string>

// Why the last sync of a monitor did not complete, as the operator is told. A monitor keeps
// it from a failed sync until a sync succeeds.
struct SyncFailure
{
    enum Kind
    {
        None,                    // no sync failed since the last one that succeeded
        LineClosed,              // there was no open line to ask on
        InvalidId,               // the id cannot be addressed on the bus (only 1 to 247)
        NoAnswer,                // no complete answer within the timeout
        FrameError,              // an answer with a bad CRC, a wrong length or from another id
        ExceptionAnswer,         // the instrument refused the request with an exception code
        PortError,               // the port itself failed (an adapter unplugged, an I/O error)
        OtherModel,              // the instrument names another model
        UnsupportedConfiguration // it answered with a configuration the model does not know
    };

    Kind kind = None;
    int exceptionCode = 0;     // ExceptionAnswer: the instrument's code
    std::string reportedModel; // OtherModel: the name it sent, printable characters only

    // A Modbus request that failed with `error` (errno after the libmodbus call).
    static SyncFailure fromModbusError(int error);
    static SyncFailure otherModel(const std::string &reported);

    // "未同步：..." in UTF-8; empty for None.
    std::string text() const;

    bool operator==(const SyncFailure &other) const
    {
        return kind == other.kind && exceptionCode == other.exceptionCode &&
               reportedModel == other.reportedModel;
    }
    bool operator!=(const SyncFailure &other) const { return !(*this == other); }
};

#endif // SYNCFAILURE_H
