#include "app/qt/dialogs.h"

#include "app/qt/fonts.h"

#include "app/qt/main_window.h"
#include "core/failure.h"
#include "core/version.h"
#include "app/qt/jpeg_image.h"

#include <QFont>
#include <QHideEvent>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>

#include <utility>

namespace kestrel {
namespace {

const QColor red(255, 0, 0);
const QColor white(255, 255, 255);

/// A label that sizes itself to its text, in the given font and colour. Labels have no
/// background of their own, so over the picture only their letters show.
QLabel* label(QWidget* parent, const char* name, const QString& text, QPoint at, const QFont& f,
              const QColor& colour)
{
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setObjectName(name);
    l->setFont(f);
    QPalette p = l->palette();
    p.setColor(QPalette::WindowText, colour);
    l->setPalette(p);
    l->move(at);
    l->adjustSize();
    return l;
}

QPushButton* button(QWidget* parent, const char* name, const char* caption, QRect geometry)
{
    auto* b = new QPushButton(caption, parent);
    b->setObjectName(name);
    b->setGeometry(geometry);
    b->setAutoDefault(false);
    return b;
}

/// The built-in picture as a Qt image; a picture that cannot be decoded leaves the
/// dialog's dark background, over which the white and red texts still read.
QImage aboutImage()
{
    try {
        const RgbImage picture = decodeJpeg(aboutPicture());
        return QImage(picture.rgb.data(), picture.width, picture.height, picture.width * 3, QImage::Format_RGB888)
            .copy();
    } catch (const Failure&) {
        return {};
    }
}

} // namespace

QPoint centredOver(const QRect& over, const QSize& size)
{
    // C++ division rounds toward zero, as the placement asks.
    return {over.left() + (over.width() - size.width()) / 2, over.top() + (over.height() - size.height()) / 2};
}

QPoint placeOver(const QRect& mainFrame, const QRect& mainClient, const QRect& frame, const QRect& client)
{
    const QMargins known(client.left() - frame.left(), client.top() - frame.top(), frame.right() - client.right(),
                         frame.bottom() - client.bottom());
    const QMargins mainMargins(mainClient.left() - mainFrame.left(), mainClient.top() - mainFrame.top(),
                               mainFrame.right() - mainClient.right(), mainFrame.bottom() - mainClient.bottom());
    // Before the window manager has framed the dialog once, its frame is unknown: the
    // main window's, of the same decoration, stands in for it.
    const QMargins margins = known.isNull() ? mainMargins : known;
    const QPoint corner = centredOver(mainFrame, client.size().grownBy(margins));
    // move() places the frame where its size is known, else the client area.
    return corner + QPoint(margins.left() - known.left(), margins.top() - known.top());
}

InfoDialog::InfoDialog(QWidget* mainWindow, const char* name, const char* caption, QSize clientSize)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint)
{
    setObjectName(name);
    setWindowTitle(caption);
    setFont(kestrelFont("Tahoma", 11));
    setFixedSize(clientSize);
    // Shown without waiting for it, yet the main window takes no mouse, key or close
    // request meanwhile: the way back is Return To Program (or closing the dialog).
    setWindowModality(Qt::WindowModal);
}

QPushButton* InfoDialog::returnButton(const char* name, QRect geometry)
{
    return button(this, name, "&Return To Program", geometry);
}

void InfoDialog::showEvent(QShowEvent* event)
{
    if (QWidget* over = parentWidget())
        move(placeOver(over->frameGeometry(), over->geometry(), frameGeometry(), geometry()));
    QDialog::showEvent(event);
}

void InfoDialog::hideEvent(QHideEvent* event)
{
    QDialog::hideEvent(event);
    if (!event->spontaneous())
        Q_EMIT finished(result());
}

void InfoDialog::done(int result)
{
    setResult(result);
    hide();
}

TForm2::TForm2(QWidget* mainWindow, Host& host, std::string homePage)
    : InfoDialog(mainWindow, "TForm2", "About Kestrel", {245, 215}), host_(host), homePage_(std::move(homePage))
{
    setAutoFillBackground(true);
    QPalette p = palette();
    p.setColor(QPalette::Window, QColor(16, 24, 64));
    setPalette(p);

    auto* image = new QLabel(this);
    image->setObjectName("Image1");
    image->setGeometry(rect());
    image->setPixmap(QPixmap::fromImage(aboutImage()));

    label(this, "Label9", "Kestrel", {58, 8}, kestrelFont("Verdana", 19), white);
    label(this, "Label10", QString::fromUtf8(std::string("Version ") + programVersion + "   " + releaseDay), {26, 37}, kestrelFont("Verdana", 13, true), red);
    label(this, "Label11", "from the", {87, 55}, kestrelFont("Verdana", 11, true), red);
    label(this, "Label12", makerName, {33, 74}, kestrelFont("Verdana", 13, true), red);
    label(this, "Label13", "written by", {86, 96}, kestrelFont("Verdana", 11, true), red);
    label(this, "Label14", authorName, {86, 115}, kestrelFont("Verdana", 13, true), red);

    auto* home = button(this, "Button3", "Go To Kestrel Software &Home Page", {26, 141, 193, 25});
    connect(home, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(returnButton("Button4", {26, 172, 193, 25}), &QPushButton::clicked, this, [this] { Button4Click(); });
}

void TForm2::Button3Click()
{
    // Nothing catches a failure here but the handler of last resort.
    try {
        if (!host_.openDocument(homePage_))
            host_.plainBox(noWebBrowserText(homePage_));
    } catch (const std::exception& e) {
        host_.generalErrorBox(failureMessage(e));
    }
}

TForm3::TForm3(QWidget* mainWindow) : InfoDialog(mainWindow, "TForm3", "Disclaimers and Copyright", {415, 226})
{
    setWindowIcon(kestrelIcon());
    label(this, "Label1", copyrightLine, {15, 16}, kestrelFont("Verdana", 13), palette().color(QPalette::WindowText));
    auto* terms = new QLabel(termsOfUse, this);
    terms->setTextFormat(Qt::PlainText);
    terms->setObjectName("Label2");
    terms->setFont(kestrelFont("Verdana", 13));
    terms->setWordWrap(true);
    terms->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    terms->setGeometry(40, 56, 334, 113);
    auto* back = returnButton("Button1", {142, 184, 129, 25});
    back->setFont(kestrelFont("Verdana", 11));
    connect(back, &QPushButton::clicked, this, [this] { Button1Click(); });
}

} // namespace kestrel
