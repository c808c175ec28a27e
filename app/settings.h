// The settings file com.ini, where it lives, and the functions through which
// the window reads and writes it.
#pragma once

#include <string>
#include <string_view>

#include "engine/calibration_record.h"

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

// Where com.ini is read and written.
struct SettingsLocation {
    std::string path;
    // In the user's configuration folder, which the first save makes.
    bool userFolder = false;
};

// The file beside the program while its folder is a portable one
// (IsPortableFolder), else `UserSettingsFolder()` + "com.ini". With no home
// to go to, beside the program all the same (a save there then fails and is
// reported).
SettingsLocation LocateSettings(const std::string& appDir);

// Whether com.ini may stay in `dir`: the user who runs the program (its
// real user id) may create files there, and the folder is not one that
// installed programs live in (/usr and below, /bin, /sbin, this build's own
// install folder). Root may write those too, but a package owns them, and an
// installed copy keeps one file per user. Always true on Windows.
bool IsPortableFolder(const std::string& dir);

// $XDG_CONFIG_HOME/tarvok/ when that is an absolute path, else
// $HOME/.config/tarvok/, else the same under the account's home directory;
// empty when no home is known (and on Windows).
std::string UserSettingsFolder();

// WritePortSetting, after making the user's folder (mode 0700, as its
// parents) when the file lives there.
int SavePortSetting(const SettingsLocation& where, int port);

// The longest operator or reference meter text, in characters: room for a
// meter's make, number and due date.
inline constexpr int kMaxRecordTextLength = 200;
// `text` (UTF-8) cut after `max` characters, never inside one.
std::string CapText(std::string text, int max);

// What the calibration records say of who made them, in a section of their
// own beside [CONFIG]:
//   [RECORDS]
//   OPERATOR="..."
//   REFERENCE_METER="..."
//   TOLERANCE=0.1
//   METER_MODEL="...", METER_SERIAL="...", METER_DUE=YYYY-MM-DD
//   METER_ACCURACY_PERCENT=0.02, METER_ACCURACY_UA=2 (± % of reading + µA)
//   PLAUSIBILITY=0.5 (% of span), INTERVAL_MONTHS=12
// Missing keys read as empty texts, zero accuracy and the defaults of the
// tolerance, the plausibility limit and the interval, as do values that
// are none of theirs (a due date that is no real date reads as empty).
// Texts longer than kMaxRecordTextLength characters (a hand-edited file)
// are cut there, as the 记录设置 dialog cuts what is typed.
engine::RecordSettings ReadRecordSettings(const std::string& iniFile);

// Stores the keys (the texts quoted, so that blanks and quotes at
// their ends are kept), after making the user's folder as SavePortSetting
// does; non-zero on success. Line breaks in the texts become blanks.
int SaveRecordSettings(const SettingsLocation& where, const engine::RecordSettings& settings);

}  // namespace app
