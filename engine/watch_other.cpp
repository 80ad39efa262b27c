#include "engine/watch_events.h"

namespace kestrel {

// No events of the system here: the watch looks at its folders at a fixed interval.
std::unique_ptr<FolderEvents> systemFolderEvents(const std::vector<std::filesystem::path>&) { return nullptr; }

} // namespace kestrel
