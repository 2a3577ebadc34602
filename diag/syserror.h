#ifndef PELIRAND_DIAG_SYSERROR_H
#define PELIRAND_DIAG_SYSERROR_H

// The system's own text for an error, for messages that say why something
// failed. Windows only: elsewhere strerror() is that text.

#include <QString>

#ifdef _WIN32
#include <windows.h>

// FormatMessage's text for dwError (GetLastError()), without the line end;
// "error <n>" where the system has none.
QString windowsErrorText(DWORD dwError);
#endif

#endif
