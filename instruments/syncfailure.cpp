#include "syncfailure.h"

#include <cerrno>

#include <modbus.h>

SyncFailure SyncFailure::fromModbusError(int error)
{
    SyncFailure failure;
    if (error == ETIMEDOUT) {
        failure.kind = NoAnswer;
    } else if (error >= EMBXILFUN && error <= EMBXGTAR) {
        failure.kind = ExceptionAnswer;
        failure.exceptionCode = error - MODBUS_ENOBASE;
    } else if (error == EMBBADCRC || error == EMBBADDATA || error == EMBBADEXC ||
               error == EMBUNKEXC || error == EMBMDATA || error == EMBBADSLAVE) {
        failure.kind = FrameError;
    } else {
        failure.kind = PortError;
    }
    return failure;
}

SyncFailure SyncFailure::otherModel(const std::string &reported)
{
    SyncFailure failure;
    failure.kind = OtherModel;
    failure.reportedModel = reported;
    return failure;
}

std::string SyncFailure::text() const
{
    const std::string prefix = "未同步：";
    switch (kind) {
    case None:
        return std::string();
    case LineClosed:
        return prefix + "串口未打开";
    case InvalidId:
        return prefix + "id无效（应为1至247）";
    case NoAnswer:
        return prefix + "仪表无应答";
    case FrameError:
        return prefix + "通讯出错（CRC 或帧错误）";
    case ExceptionAnswer:
        return prefix + "仪表返回异常码 " + std::to_string(exceptionCode);
    case PortError:
        return prefix + "串口读写出错";
    case OtherModel:
        return prefix + (reportedModel.empty() ? std::string("型号不符")
                                               : "型号不符（仪表报告 " + reportedModel + "）");
    case UnsupportedConfiguration:
        return prefix + "不支持的仪表配置";
    }
    return prefix;
}
