// Window messages on hosts whose Qt event loop does not see them.
//
// On Windows, Qt's event dispatcher takes every message of the thread's queue,
// offers it to the native event filters and dispatches what they leave; and a
// source's modal loop keeps Qt's windows and timers running. Elsewhere the
// platform layer keeps the message queue, and this file joins the two: a posted
// message wakes the Qt event loop, which drains the queue through the filters,
// and a source that pumps messages inside a call runs the Qt event loop once
// per pump.

#include "app/pelirandapp.h"

#ifdef _WIN32

void installMessagePump() {}
void removeMessagePump() {}

#else

#include <QAbstractEventDispatcher>
#include <QMetaObject>

#include <atomic>

namespace {

std::atomic<bool> s_bDrainPosted{false};
bool s_bDraining = false;

void drainMessages();

void postDrain()
{
    pelirandApp* pApp = g_pApp;
    if (pApp && !s_bDrainPosted.exchange(true))
        QMetaObject::invokeMethod(pApp, &drainMessages, Qt::QueuedConnection);
}

void drainMessages()
{
    s_bDrainPosted = false;
    pelirandApp* pApp = g_pApp;
    if (!pApp)
        return;
    // Inside a TWAIN call the source's own loop takes its messages; whatever it
    // leaves waits until the call has returned.
    if (pApp->m_bInCall) {
        postDrain();
        return;
    }
    s_bDraining = true;
    MSG msg;
    while (!pApp->m_bInCall && PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        long lResult = 0;
        QAbstractEventDispatcher* pDispatcher = QAbstractEventDispatcher::instance();
        if (pDispatcher &&
            pDispatcher->filterNativeEvent(QByteArrayLiteral("windows_generic_MSG"), &msg, &lResult))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    s_bDraining = false;
}

void onMessagePosted(DWORD dwThreadId, void* pContext)
{
    Q_UNUSED(dwThreadId);
    Q_UNUSED(pContext);
    postDrain();
}

void onPump(void* pContext)
{
    Q_UNUSED(pContext);
    // The drain itself peeks: the event loop must not run inside it.
    if (!s_bDraining)
        QCoreApplication::processEvents();
}

} // namespace

void installMessagePump()
{
    PelirandSetMessagePump(&onPump, nullptr);
    PelirandSetPostNotify(&onMessagePosted, nullptr);
}

void removeMessagePump()
{
    PelirandSetPostNotify(nullptr, nullptr);
    PelirandSetMessagePump(nullptr, nullptr);
}

#endif
