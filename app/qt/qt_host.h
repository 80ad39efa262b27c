// The host of the Qt window: message boxes, the file dialog, event pumping, cursor.
#pragma once

#include "core/host.h"

#include <functional>

#include <QElapsedTimer>

class QWidget;

namespace kestrel {

class QtHost : public Host {
public:
    void setParent(QWidget* parent) { parent_ = parent; }
    /// Called after events were pumped, so the view can show the model's changes.
    std::function<void()> onPumped;

    void errorBox(const std::string& text) override;
    void plainBox(const std::string& text) override;
    void generalErrorBox(const std::string& text) override;
    bool confirm(const std::string& text, bool defaultYes) override;
    std::vector<std::filesystem::path> openFiles(const std::string& title, const std::string& filter,
                                                 bool multiple) override;
    void pumpMessages() override;
    void setBusyCursor(bool busy) override;
    void openDocument(const std::string& target) override;

private:
    QWidget* parent_ = nullptr;
    QElapsedTimer sincePump_;
    bool busy_ = false;
};

} // namespace kestrel
