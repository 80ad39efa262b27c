#include "app/qt/dialogs.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel {
namespace {

QDialog* dialog(const char* name, const char* title, const char* text, const char* buttonName)
{
    auto* d = new QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    d->setObjectName(name);
    d->setWindowTitle(title);
    auto* layout = new QVBoxLayout(d);
    layout->addWidget(new QLabel(text, d));
    auto* back = new QPushButton("&Return To Program", d);
    back->setObjectName(buttonName);
    layout->addWidget(back);
    QObject::connect(back, &QPushButton::clicked, d, &QDialog::accept);
    return d;
}

} // namespace

QDialog* makeAboutDialog()
{
    return dialog("TForm2", "About", "Kestrel Version 1.35\nRemoves the vertical banding of CCD images.", "Button4");
}

QDialog* makeDisclaimersDialog()
{
    return dialog("TForm3", "Disclaimers and Copyright", "Kestrel is provided as is, without any warranty.",
                  "Button1");
}

} // namespace kestrel
