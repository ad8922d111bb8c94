// What DUVAK writes, byte for byte as the tests expect it, and the message
// builders. Spelled out rather than taken from frontend/messages.h, so that a
// changed text fails the tests.
#pragma once

#include <string>

namespace texts {

inline const std::string SAME = "The files have the same data.\n";
inline const std::string SIZES = "The files have different sizes.\n";
inline const std::string CONTENTS = "The files have different contents.\n";
inline const std::string TOO_FEW = "At least two files must be specified.\n";
inline const std::string NO_MEMORY = "Not enough memory.\n";
inline const std::string READ_ERROR = "Error reading files.\n";
inline const std::string TIME_NOT_AVAILABLE = "File access time not available.\n";
inline const std::string TIME_HEAD = "File access time: ", TIME_TAIL = " seconds.\n";
inline const std::string FILE_HEAD = "The file \"", OPEN_TAIL = "\" cannot be opened.\n",
                         READ_TAIL = "\" cannot be read.\n";
inline const std::string INVALID_HEAD = "Invalid option \"", DUPLICATED_HEAD = "Duplicated option \"",
                         OPTION_TAIL = "\".\n";
inline const std::string HELP =
    "\nDUVAK 1.2 - file comparison\n\n"
    "Tests if the contents of two or more files are identical.\n\n"
    "Usage: DUVAK [/Q] [/T] [/R] file1 file2 [file3 [...]]\n\n"
    "  /Q                           Do not print comparison results.\n"
    "  /T                           Print timing information.\n"
    "  /R                           Also compare reparse points.\n"
    "  file1, file2, file3, ...     Files to be compared.\n\n"
    "ERRORLEVEL is set to 0 if the data in all files are identical, or to 1 if they\n"
    "are not. If an error occurs, ERRORLEVEL is set to 2.\n";

inline std::string CannotOpen(const std::string& name) { return FILE_HEAD + name + OPEN_TAIL; }
inline std::string CannotRead(const std::string& name) { return FILE_HEAD + name + READ_TAIL; }
inline std::string Invalid(const std::string& body) { return INVALID_HEAD + body + OPTION_TAIL; }
inline std::string Duplicated(const std::string& body) { return DUPLICATED_HEAD + body + OPTION_TAIL; }
inline std::string TimeLine(const std::string& value) { return TIME_HEAD + value + TIME_TAIL; }

// The low byte of every UTF-16 unit: ASCII text as DUVAK writes it.
inline std::string Narrow(const std::u16string& text) { return std::string(text.begin(), text.end()); }

}  // namespace texts
