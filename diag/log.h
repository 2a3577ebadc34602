#ifndef PELIRAND_DIAG_LOG_H
#define PELIRAND_DIAG_LOG_H

#include <QString>

// Lets the compiler check the arguments of every log call against its format.
#if defined(__GNUC__) || defined(__clang__)
#define PELIRAND_PRINTF_FORMAT(iFormatArg, iFirstArg) __attribute__((format(printf, iFormatArg, iFirstArg)))
#else
#define PELIRAND_PRINTF_FORMAT(iFormatArg, iFirstArg)
#endif

// Path of the log file. Points to a module-owned "c:\program.log" until start-up
// points it at its own string, which must then live as long as the process logs.
extern QString* g_pLogFilePath;

// Formats one message (at most 4999 bytes, longer ones are cut) and appends it
// as one line "(%06u): <message>\r\n", the number being the milliseconds since
// the log file was created. A null format writes the prefix alone. Never fails
// towards the caller: problems of the log itself go to qDebug.
void logPrintf(const char* format, ...) PELIRAND_PRINTF_FORMAT(1, 2);

// Logs the formatted message followed by "  {" the first count bytes of data in
// lower-case hex, a space after every fourth byte, and "}". The whole message is
// kept within 1023 bytes: a longer text is cut, the remaining bytes are not shown.
void logHexDump(const void* data, int count, const char* format, ...) PELIRAND_PRINTF_FORMAT(3, 4);

// Appends one finished line (prefix and "\r\n" included) to the log file.
void logWriteLine(const QString& line);

#endif
