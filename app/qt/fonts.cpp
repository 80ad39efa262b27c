#include "app/qt/fonts.h"

#include <QStringList>

namespace kestrel {

QFont kestrelFont(const char* family, int pixels, bool bold)
{
    static const bool substituted = [] {
        QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "Nimbus Sans", "Arial", "Helvetica"});
        QFont::insertSubstitutions("Tahoma", {"DejaVu Sans Condensed", "Liberation Sans", "Nimbus Sans", "Arial"});
        QFont::insertSubstitutions("Verdana", {"DejaVu Sans", "Bitstream Vera Sans"});
        return true;
    }();
    (void)substituted;
    QFont f(family);
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

} // namespace kestrel
