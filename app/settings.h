// The settings file com.ini beside the executable and the three functions
// through which the window reads and writes it.
#pragma once

#include <string>
#include <string_view>

namespace app {

// Directory of the running executable with its trailing separator ('\\' on
// Windows, '/' elsewhere); empty when it cannot be found, so that com.ini
// is then looked up in the current directory.
std::string GetAppDirectory();

// The value of `key` in `section` of `file`, or the empty text when the
// file, the section or the key is missing. At most 1023 bytes of the value
// are read; then every backslash followed by 'n' becomes a newline.
std::string ReadSetting(std::string_view section, std::string_view key, const std::string& file);

// Stores the value; non-zero on success, 0 when the file could not be
// written (the file then keeps its old contents).
int WriteSetting(std::string_view section, std::string_view key, const std::string& file,
                 std::string_view value);

// The serial port remembered in `iniFile` ([CONFIG] COM=n, read the way atoi
// reads it: leading blanks, an optional sign, the digits up to the first
// other character), or 0 when there is none or it is not a port from 1 to
// 255.
int ReadPortSetting(const std::string& iniFile);

// Stores port n as COM=n in [CONFIG]; non-zero on success.
int WritePortSetting(const std::string& iniFile, int port);

}  // namespace app
