#include "diag/syserror.h"

QString windowsErrorText(DWORD dwError)
{
    wchar_t* pText = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, dwError, 0, reinterpret_cast<wchar_t*>(&pText), 0, nullptr);
    QString sText = n ? QString::fromWCharArray(pText, int(n)).trimmed()
                      : QStringLiteral("error %1").arg(dwError);
    if (pText)
        LocalFree(pText);
    return sText;
}
