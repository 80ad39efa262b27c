// The About and the Disclaimers and Copyright dialogs: created once, shown on demand.
#pragma once

#include <QDialog>

namespace kestrel {

QDialog* makeAboutDialog();
QDialog* makeDisclaimersDialog();

} // namespace kestrel
