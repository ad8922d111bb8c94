// Every text the program writes to standard output or standard error. The
// writers emit messages as lists of these pieces around the variable parts
// (a file name, a switch body, a time value).
#pragma once

#include "platform/windows_api.h"

inline constexpr WCHAR TEXT_NOT_ENOUGH_MEMORY[] = u"Not enough memory.\n";
inline constexpr WCHAR TEXT_INVALID_OPTION[] = u"Invalid option";
inline constexpr WCHAR TEXT_DUPLICATED_OPTION[] = u"Duplicated option";
inline constexpr WCHAR TEXT_OPTION_HEAD[] = u" \"";
inline constexpr WCHAR TEXT_OPTION_TAIL[] = u"\".\n";
inline constexpr WCHAR TEXT_TOO_FEW_FILES[] = u"At least two files must be specified.\n";
inline constexpr WCHAR TEXT_FILE_HEAD[] = u"The file \"";
inline constexpr WCHAR TEXT_CANNOT_OPEN_TAIL[] = u"\" cannot be opened.\n";
inline constexpr WCHAR TEXT_CANNOT_READ_TAIL[] = u"\" cannot be read.\n";
inline constexpr WCHAR TEXT_READ_ERROR[] = u"Error reading files.\n";
inline constexpr WCHAR TEXT_SAME_DATA[] = u"The files have the same data.\n";
inline constexpr WCHAR TEXT_DIFFERENT_SIZES[] = u"The files have different sizes.\n";
inline constexpr WCHAR TEXT_DIFFERENT_CONTENTS[] = u"The files have different contents.\n";
inline constexpr WCHAR TEXT_TIME_HEAD[] = u"File access time: ";
inline constexpr WCHAR TEXT_TIME_TAIL[] = u" seconds.\n";
inline constexpr WCHAR TEXT_TIME_NOT_AVAILABLE[] = u"File access time not available.\n";
inline constexpr WCHAR TEXT_TIME_BELOW_RESOLUTION[] = u"< 0.01";
inline constexpr WCHAR FORMAT_TIME[] = u"%I64u.%02u";

inline constexpr WCHAR TEXT_HELP[] =
    u"\n"
    u"DUVAK 1.2 - file comparison\n"
    u"\n"
    u"Tests if the contents of two or more files are identical.\n"
    u"\n"
    u"Usage: DUVAK [/Q] [/T] [/R] file1 file2 [file3 [...]]\n"
    u"\n"
    u"  /Q                           Do not print comparison results.\n"
    u"  /T                           Print timing information.\n"
    u"  /R                           Also compare reparse points.\n"
    u"  file1, file2, file3, ...     Files to be compared.\n"
    u"\n"
    u"ERRORLEVEL is set to 0 if the data in all files are identical, or to 1 if they\n"
    u"are not. If an error occurs, ERRORLEVEL is set to 2.\n";
