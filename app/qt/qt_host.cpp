#include "app/qt/qt_host.h"

#include "app/qt/dialogs.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QKeySequence>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

#include <utility>

namespace kestrel {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

/// A message box centred over the window by frames, as the dialogs are. Qt places a box
/// before it has taken its final size, which leaves a short box well above the middle.
class CentredBox : public QMessageBox {
public:
    using QMessageBox::QMessageBox;

protected:
    void showEvent(QShowEvent* event) override
    {
        QMessageBox::showEvent(event); // takes the final size
        if (QWidget* over = parentWidget(); over && over->isVisible())
            move(placeOver(over->frameGeometry(), over->geometry(), frameGeometry(), geometry()));
    }

    // A key that answers the box (N for No) answers it when it is let go, as a click
    // does. Qt would show the button pressed for a tenth of a second first, and a
    // batch that the answer starts would wait for that.
    void keyPressEvent(QKeyEvent* event) override
    {
        if (!(event->modifiers() & (Qt::AltModifier | Qt::ControlModifier | Qt::MetaModifier)))
            if (QAbstractButton* button = answeredBy(event->key())) {
                pressed_ = button;
                return;
            }
        QMessageBox::keyPressEvent(event);
    }

    void keyReleaseEvent(QKeyEvent* event) override
    {
        QAbstractButton* button = answeredBy(event->key());
        if (!event->isAutoRepeat() && button && button == pressed_) {
            pressed_ = nullptr;
            button->click();
            return;
        }
        QMessageBox::keyReleaseEvent(event);
    }

private:
    QAbstractButton* answeredBy(int key) const
    {
        for (QAbstractButton* button : buttons()) {
            const QKeySequence shortcut = button->shortcut();
            if (!shortcut.isEmpty() && key == shortcut[0].key() && button->isEnabled())
                return button;
        }
        return nullptr;
    }

    QAbstractButton* pressed_ = nullptr;
};

} // namespace

void QtHost::box(QMessageBox::Icon icon, const char* caption, const std::string& text)
{
    if (holdsBoxes()) {
        waiting_.push_back({icon, caption, text});
        return;
    }
    showCurrentState();
    CentredBox b(icon, caption, q(text), QMessageBox::Ok, parent_);
    b.setTextFormat(Qt::PlainText);
    exec(b);
}

void QtHost::errorBox(const std::string& text) { box(QMessageBox::Critical, "Error", text); }
void QtHost::plainBox(const std::string& text) { box(QMessageBox::NoIcon, "Kestrel", text); }
void QtHost::generalErrorBox(const std::string& text) { box(QMessageBox::Critical, "Kestrel", generalErrorText(text)); }

bool QtHost::confirm(const std::string& text, bool defaultYes)
{
    showCurrentState();
    CentredBox b(QMessageBox::Question, "Confirm", q(text), QMessageBox::Yes | QMessageBox::No, parent_);
    b.setTextFormat(Qt::PlainText);
    b.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
    b.setEscapeButton(QMessageBox::No);
    return exec(b) == QMessageBox::Yes;
}

std::vector<std::filesystem::path> QtHost::openFiles(const std::string& title, const std::string&, bool multiple)
{
    showCurrentState();
    // The dialog's own notation of the two entries "FITS" and "All Files".
    QFileDialog dialog(parent_, q(title), QDir::currentPath(), "FITS (*.FIT *.FITS *.fit *.fits);;All Files (*)");
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(multiple ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    if (exec(dialog) != QDialog::Accepted)
        return {};
    const QStringList names = dialog.selectedFiles();
    std::vector<std::filesystem::path> out;
    for (const QString& n : names)
        out.emplace_back(n.toStdString());
    if (!out.empty())
        QDir::setCurrent(QFileInfo(names.front()).absolutePath());
    return out;
}

void QtHost::windowShown()
{
    parentShown_ = true;
    for (const WaitingBox& b : std::exchange(waiting_, {}))
        box(b.icon, b.caption, b.text);
}

int QtHost::exec(QDialog& dialog) { return dialog.exec(); }

void QtHost::showCurrentState()
{
    if (onPumped)
        onPumped();
    // Painted now, not when the box's own loop comes to it: the box may open over a
    // window that has not had a chance to paint since the run began.
    if (parent_ && parent_->isVisible())
        parent_->repaint();
}

void QtHost::pumpMessages()
{
    // The runs pump after every band window; handling events that often would cost
    // more than the work itself, and a fiftieth of a second is quick enough for Cancel.
    if (sincePump_.isValid() && sincePump_.elapsed() < 20)
        return;
    sincePump_.restart();
    QApplication::processEvents();
    if (onPumped)
        onPumped();
}

void QtHost::setBusyCursor(bool busy)
{
    if (busy == busy_)
        return;
    busy_ = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

bool QtHost::openDocument(const std::string& target)
{
    const QString t = q(target);
    const QUrl url = t.contains("://") || t.startsWith("mailto:") ? QUrl(t) : QUrl::fromLocalFile(t);
    // Without a desktop (Qt's offscreen platform) nothing opens documents, as Qt says.
    const QString opener = QStandardPaths::findExecutable("xdg-open");
    if (opener.isEmpty() || !parent_ || QGuiApplication::platformName() == "offscreen")
        return QDesktopServices::openUrl(url);
    // xdg-open, which Qt would start and forget, tells only by its exit status that it
    // found no program for the target. Exit status 2, a file that does not exist, is
    // left unnoticed as a missing manual always was. The process belongs to the
    // application, not to the window: a viewer that xdg-open waits for may outlive it.
    auto* process = new QProcess(QCoreApplication::instance());
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
    const auto failed = [callback = onOpenFailed, target] {
        if (callback)
            callback(target);
    };
    QObject::connect(process, &QProcess::finished, parent_, [failed](int code, QProcess::ExitStatus how) {
        if (how == QProcess::NormalExit && code != 0 && code != 2)
            failed();
    });
    QObject::connect(process, &QProcess::errorOccurred, parent_, [failed](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failed();
    });
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(opener, {QString::fromUtf8(url.toEncoded())});
    return true;
}

} // namespace kestrel
