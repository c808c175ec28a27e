#include "serial/open_error.h"

namespace serial {

const char* OpenErrorReason(OpenError error) {
    switch (error) {
        case OpenError::kNoSuchDevice:
            return "原因: 设备不存在";
        case OpenError::kInUse:
            return "原因: 串口已被其他程序占用";
        case OpenError::kPermissionDenied:
            return "原因: 没有权限 (请将用户加入 dialout 组: sudo usermod -aG dialout $USER, "
                   "然后重新登录)";
        case OpenError::kNotSerialPort:
            return "原因: 不是串口设备";
        case OpenError::kNone:
        case OpenError::kOther:
            break;
    }
    return "";
}

const char* DescribeOpenError(OpenError error) {
    switch (error) {
        case OpenError::kNone:
            return "no error";
        case OpenError::kNoSuchDevice:
            return "no such device";
        case OpenError::kInUse:
            return "in use by another program";
        case OpenError::kPermissionDenied:
            return "permission denied (add the user to the dialout group)";
        case OpenError::kNotSerialPort:
            return "not a serial port";
        case OpenError::kOther:
            break;
    }
    return "the device could not be opened";
}

}  // namespace serial
