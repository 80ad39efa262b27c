#include "app/qt/blocked_close.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QWidget>
#include <QWindow>

#if __has_include(<xcb/xcb.h>) && QT_CONFIG(xcb) && !defined(KESTREL_NO_XCB)
#include <QtGui/qguiapplication_platform.h>

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#define KESTREL_WATCH_X11 1
#endif

namespace kestrel {

#ifdef KESTREL_WATCH_X11
namespace {

std::uint32_t atom(xcb_connection_t* connection, const char* name)
{
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 1, static_cast<std::uint16_t>(std::strlen(name)), name);
    std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, cookie, nullptr), &std::free);
    return reply ? reply->atom : std::uint32_t{XCB_ATOM_NONE};
}

} // namespace
#endif

BlockedCloseWatch::BlockedCloseWatch(QWidget* window, std::function<void()> closeRequested)
    : window_(window), closeRequested_(std::move(closeRequested))
{
#ifdef KESTREL_WATCH_X11
    const auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    if (!x11 || !x11->connection())
        return;
    wmProtocols_ = atom(x11->connection(), "WM_PROTOCOLS");
    wmDeleteWindow_ = atom(x11->connection(), "WM_DELETE_WINDOW");
    if (wmProtocols_ != XCB_ATOM_NONE && wmDeleteWindow_ != XCB_ATOM_NONE)
        qGuiApp->installNativeEventFilter(this);
#endif
}

BlockedCloseWatch::~BlockedCloseWatch()
{
    if (qGuiApp)
        qGuiApp->removeNativeEventFilter(this);
}

bool BlockedCloseWatch::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
#ifdef KESTREL_WATCH_X11
    if (eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE)
        return false;
    const auto* request = static_cast<const xcb_client_message_event_t*>(message);
    const QWindow* shown = window_->windowHandle();
    if (!shown || request->format != 32 || request->window != shown->winId() || request->type != wmProtocols_ ||
        request->data.data32[0] != wmDeleteWindow_)
        return false;
    const QWindow* modal = QGuiApplication::modalWindow();
    if (modal && modal != shown)
        // Qt drops the request once this returns; the window hears of it afterwards.
        QMetaObject::invokeMethod(window_, closeRequested_, Qt::QueuedConnection);
#else
    (void)eventType;
    (void)message;
#endif
    return false;
}

} // namespace kestrel
