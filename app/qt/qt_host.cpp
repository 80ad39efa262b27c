#include "app/qt/qt_host.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

namespace kestrel {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

void box(QWidget* parent, QMessageBox::Icon icon, const char* caption, const std::string& text)
{
    QMessageBox b(icon, caption, q(text), QMessageBox::Ok, parent);
    b.exec();
}

} // namespace

void QtHost::errorBox(const std::string& text) { box(parent_, QMessageBox::Critical, "Error", text); }
void QtHost::plainBox(const std::string& text) { box(parent_, QMessageBox::NoIcon, "Kestrel", text); }
void QtHost::generalErrorBox(const std::string& text)
{
    box(parent_, QMessageBox::Critical, "Kestrel", generalErrorText(text));
}

bool QtHost::confirm(const std::string& text, bool defaultYes)
{
    QMessageBox b(QMessageBox::Question, "Confirm", q(text), QMessageBox::Yes | QMessageBox::No, parent_);
    b.setDefaultButton(defaultYes ? QMessageBox::Yes : QMessageBox::No);
    b.setEscapeButton(QMessageBox::No);
    return b.exec() == QMessageBox::Yes;
}

std::vector<std::filesystem::path> QtHost::openFiles(const std::string& title, const std::string&, bool multiple)
{
    // The dialog's own notation of the two entries "FITS" and "All Files".
    const QString filter = "FITS (*.FIT *.FITS *.fit *.fits);;All Files (*)";
    QStringList names;
    if (multiple)
        names = QFileDialog::getOpenFileNames(parent_, q(title), QDir::currentPath(), filter);
    else {
        const QString one = QFileDialog::getOpenFileName(parent_, q(title), QDir::currentPath(), filter);
        if (!one.isEmpty())
            names << one;
    }
    std::vector<std::filesystem::path> out;
    for (const QString& n : names)
        out.emplace_back(n.toStdString());
    if (!out.empty())
        QDir::setCurrent(QFileInfo(names.front()).absolutePath());
    return out;
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

void QtHost::openDocument(const std::string& target)
{
    const QString t = q(target);
    const QUrl url = t.contains("://") || t.startsWith("mailto:") ? QUrl(t) : QUrl::fromLocalFile(t);
    QDesktopServices::openUrl(url);
}

} // namespace kestrel
