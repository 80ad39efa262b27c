// The About and the Disclaimers and Copyright dialogs. Both are created once, after the
// main window and as its children, and shown over it on demand; the main window takes
// no input while either is shown.
#pragma once

#include "app/window_arguments.h"
#include "core/host.h"

#include <QDialog>

#include <functional>
#include <string>

class QPushButton;

namespace kestrel {

inline constexpr const char* makerName = "Kestrel Software";
/// Short enough to stand at the author's place, (86, 115), on the picture.
inline constexpr const char* authorName = "Kestrel developers";
/// The terms of use, in short: the licence and its disclaimer of warranty and liability.
inline constexpr const char* termsOfUse =
    "Kestrel is free software under the MIT License: you may use, copy, change and pass it on, "
    "provided this notice goes with it. It is provided as is, without warranty of any kind. "
    "Keep your original images: the authors are not liable for any loss or damage that comes "
    "from using Kestrel.";

/// Where a window of `size` (outer size) lands when centred over `over` (outer
/// geometry): the halves are rounded toward zero, so a dialog larger than the window
/// sticks out to the left and top by the larger half.
QPoint centredOver(const QRect& over, const QSize& size);

/// Where to move() a dialog with the outer and inner geometries `frame` and `client` so
/// that its outer frame lands centred over the main window's (`mainFrame` around
/// `mainClient`). A dialog not yet framed by the window manager has equal geometries;
/// its frame is then taken to be as wide as the main window's.
QPoint placeOver(const QRect& mainFrame, const QRect& mainClient, const QRect& frame, const QRect& client);

/// What the two dialogs share: a fixed client area, a border without title-bar
/// buttons, the place over the main window, and Return To Program.
class InfoDialog : public QDialog {
protected:
    InfoDialog(QWidget* mainWindow, const char* name, const char* caption, QSize clientSize);
    /// A "&Return To Program" button; the dialog connects it to its handler.
    QPushButton* returnButton(const char* name, QRect geometry);
    /// Return To Program: hides the dialog, which gives the main window its input back.
    void returnToProgram() { hide(); }
    /// Centres the dialog over the main window each time it is shown.
    void showEvent(QShowEvent* event) override;
    /// Every way of closing (Esc, the window manager, Return To Program, hide) ends in
    /// one hide, which alone reports the dialog finished.
    void hideEvent(QHideEvent* event) override;
    void done(int result) override;
};

/// About Kestrel: the picture with the program's name, version, maker and author over
/// it, a button to the maker's home page and Return To Program.
class TForm2 : public InfoDialog {
public:
    /// `host` opens the home page; `homePage` is its address.
    TForm2(QWidget* mainWindow, Host& host, std::string homePage);
    /// Opens the maker's home page; the dialog stays open.
    void Button3Click();
    void Button4Click() { returnToProgram(); }

private:
    Host& host_;
    std::string homePage_;
};

/// Disclaimers and Copyright: the copyright line, the terms of use and Return To
/// Program.
class TForm3 : public InfoDialog {
public:
    explicit TForm3(QWidget* mainWindow);
    void Button1Click() { returnToProgram(); }
};

} // namespace kestrel
