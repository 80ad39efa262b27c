// The fonts of the window and its dialogs.
#pragma once

#include <QFont>

namespace kestrel {

/// `family` at `pixels` high. The families were chosen on another desktop; the first
/// call maps each to the families here that come closest in width, so that captions
/// fit the places laid out for them.
QFont kestrelFont(const char* family, int pixels, bool bold = false);

} // namespace kestrel
