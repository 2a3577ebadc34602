#pragma once

// The entry points of the bridge's Qt Widgets module (libpelirand-widgets.so), which the bridge loads
// only when a source built with Qt Widgets may run in it. Called on the bridge's main thread.

#include <QCoreApplication>

extern "C" {
// A QApplication for the bridge's process, made on the calling thread.
typedef QCoreApplication* (*PelirandWidgetsApplicationFn)(int* pArgc, char** argv);
// The number of the process's visible top-level windows.
typedef int (*PelirandWidgetsVisibleWindowsFn)();
}
