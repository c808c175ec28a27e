// Why a serial port did not open, as a value: the window words it for the
// operator, the console tool for its one error line.
#pragma once

namespace serial {

enum class OpenError {
    kNone,              // it opened
    kNoSuchDevice,      // nothing there, or a device without its hardware
    kInUse,             // held by another program (or by another open of this one)
    kPermissionDenied,  // the user may not open it (not in the dialout group)
    kNotSerialPort,     // a file, a FIFO, a folder, a device that is no terminal
    kOther,
};

// The line the message box shows below "创建COMn失败"; empty for kNone and
// kOther, which have nothing useful to add.
const char* OpenErrorReason(OpenError error);

// The same in English, for the console tool: "no such device".
const char* DescribeOpenError(OpenError error);

}  // namespace serial
