// The host of the Qt window: message boxes, the file dialog, event pumping, cursor.
#pragma once

#include "core/host.h"

#include <functional>
#include <string>
#include <vector>

#include <QElapsedTimer>
#include <QMessageBox>

namespace kestrel {

class QtHost : public Host {
public:
    void setParent(QWidget* parent) { parent_ = parent; }
    /// Called after events were pumped, and before every box and the file dialog, so
    /// the view can show the model's changes.
    std::function<void()> onPumped;
    /// Boxes asked for before the parent window is first shown wait for it, so that they
    /// come centred over it rather than in a corner of the screen. The window calls this
    /// once it is shown, and the boxes that waited follow in their order.
    void windowShown();
    /// True while boxes wait for the window.
    bool holdsBoxes() const { return parent_ && !parentShown_; }

    void errorBox(const std::string& text) override;
    void plainBox(const std::string& text) override;
    void generalErrorBox(const std::string& text) override;
    bool confirm(const std::string& text, bool defaultYes) override;
    std::vector<std::filesystem::path> openFiles(const std::string& title, const std::string& filter,
                                                 bool multiple) override;
    void pumpMessages() override;
    void setBusyCursor(bool busy) override;
    /// False when Qt finds no program to launch (no xdg-open or desktop opener).
    bool openDocument(const std::string& target) override;
    /// Called, on the window's thread, when xdg-open reports that it found no program
    /// for a target that openDocument handed it (the target is passed as given).
    std::function<void(const std::string& target)> onOpenFailed;

protected:
    /// Waits for the user's answer to a box or the file dialog; tests answer instead.
    virtual int exec(QDialog& dialog);

private:
    /// The window shows what the run has changed so far before a box covers it: the
    /// pumps are spaced out, so the widgets may lag the model.
    void showCurrentState();
    void box(QMessageBox::Icon icon, const char* caption, const std::string& text);

    struct WaitingBox {
        QMessageBox::Icon icon;
        const char* caption;
        std::string text;
    };

    QWidget* parent_ = nullptr;
    QElapsedTimer sincePump_;
    bool busy_ = false;
    bool parentShown_ = false;
    std::vector<WaitingBox> waiting_;
};

} // namespace kestrel
