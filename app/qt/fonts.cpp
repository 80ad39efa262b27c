#include "app/qt/fonts.h"

#include <QStringList>

namespace kestrel {

QFont kestrelFont(const char* family, int pixels, bool bold)
{
    // No free font matches Verdana's metrics. DejaVu Sans, Bitstream Vera's heir, is
    // drawn to the same wide letters and tall lower case and sets the panels' captions
    // within a few pixels of their places; Arial-metric fonts (Liberation, Nimbus) run
    // a tenth narrower. Tahoma is Verdana narrowed, hence DejaVu Sans Condensed.
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
