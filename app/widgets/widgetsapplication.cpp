// The part of the bridge that needs Qt Widgets, loaded only when a source does: the QApplication a
// source built with Qt Widgets takes for granted, and what the bridge asks of its windows.

#include <QApplication>
#include <QWindow>

#include "app/widgets/widgetsapplication.h"

extern "C" Q_DECL_EXPORT QCoreApplication* pelirandWidgetsApplication(int* pArgc, char** argv)
{
    return new QApplication(*pArgc, argv);
}

extern "C" Q_DECL_EXPORT int pelirandWidgetsVisibleWindows()
{
    int nVisible = 0;
    const QWindowList lstWindows = QGuiApplication::topLevelWindows();
    for (const QWindow* pWindow : lstWindows) {
        if (pWindow->isVisible())
            ++nVisible;
    }
    return nVisible;
}
