// The program's version, as the window's caption, the update check, kestrel-cli
// --version and the packages name it.
#pragma once

namespace kestrel {

inline constexpr const char* programVersion = "1.35";

} // namespace kestrel
