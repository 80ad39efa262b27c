// A close that the window manager asks of the main window while a box or dialog of the
// program blocks it. Qt drops such a request before the window hears of it, so a user
// who clicked the window's close button, or whose Alt+F4 reached the window just as a
// box came up (a notice's box comes whenever its download ends), lost the close: once
// the box was answered, the window stayed. This watches for the request on X11, where
// it arrives as a client message, and hands it to the window.
#pragma once

#include <QAbstractNativeEventFilter>

#include <cstdint>
#include <functional>

class QWidget;

namespace kestrel {

class BlockedCloseWatch : public QAbstractNativeEventFilter {
public:
    /// Calls `closeRequested` on the window's thread, after the event, for each close
    /// asked of `window` while a modal window blocks it. Without X11 it does nothing.
    BlockedCloseWatch(QWidget* window, std::function<void()> closeRequested);
    ~BlockedCloseWatch() override;
    BlockedCloseWatch(const BlockedCloseWatch&) = delete;
    BlockedCloseWatch& operator=(const BlockedCloseWatch&) = delete;

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    QWidget* window_;
    std::function<void()> closeRequested_;
    std::uint32_t wmProtocols_ = 0;
    std::uint32_t wmDeleteWindow_ = 0;
};

} // namespace kestrel
