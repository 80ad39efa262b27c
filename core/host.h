// How the core reaches the user: message boxes, the file dialog, event pumping and
// the cursor. The Qt window, the command-line tool and the tests each implement it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kestrel {

class Host {
public:
    virtual ~Host() = default;

    /// Caption "Error", error icon, OK.
    virtual void errorBox(const std::string& text) = 0;
    /// Caption "Kestrel", no icon, OK.
    virtual void plainBox(const std::string& text) = 0;
    /// Caption "Kestrel", error icon, OK: for a failure that no routine caught. The
    /// caller passes the raw message; generalErrorText adds the full stop.
    virtual void generalErrorBox(const std::string& text) = 0;
    /// Caption "Confirm", question icon, Yes and No; Esc answers No. `defaultYes`
    /// tells which button is preselected. Returns true for Yes.
    virtual bool confirm(const std::string& text, bool defaultYes) = 0;

    /// File-open dialog. Returns the chosen paths, empty when cancelled. Choosing files
    /// makes their folder the working folder.
    virtual std::vector<std::filesystem::path> openFiles(const std::string& title,
                                                         const std::string& filter,
                                                         bool multiple) = 0;

    /// Lets the window handle pending events; a run calls it inside its loops.
    virtual void pumpMessages() = 0;
    /// Hourglass for the whole application while `busy`, else the default arrow.
    virtual void setBusyCursor(bool busy) = 0;
    /// Hands a document, web address or mailto: link to the desktop's default handler.
    /// Returns false only when the desktop has no handler program at all; whether the
    /// handler finds the document is its own business.
    virtual bool openDocument(const std::string& target) = 0;
};

/// The general error box's text: the message, with a full stop appended when its last
/// character sorts after ".".
std::string generalErrorText(const std::string& message);

} // namespace kestrel
