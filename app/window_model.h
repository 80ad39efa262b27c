// What the runs read and write on the main window, without any widget: the field
// texts, label captions, button and progress-bar states, the two notice panels and the
// results grid. The Qt front end shows it and forwards clicks; nothing else changes a
// widget, so every behaviour of the window can be tested without a display.
#pragma once

#include "settings/results_grid.h"

#include <string>
#include <vector>

namespace kestrel {

struct ButtonState {
    bool visible = true;
    bool enabled = true;
    std::string caption;
};

struct ProgressState {
    bool visible = false;
    int minimum = 0;
    int maximum = 100;
    int position = 0;
};

struct NoticePanel {
    bool visible = false;
    std::vector<std::string> memoLines;
};

struct WindowModel {
    std::string edit1 = "n/a"; // 1x1 phase
    std::string edit2 = "n/a"; // 2x2 phase
    std::string edit3 = "n/a"; // amplitude
    std::string label7 = "        ";
    std::string label8 = "        ";
    std::string label9 = "The latest version is 1.0";

    ButtonState button1{true, true, "&Select Files"};
    ButtonState button2{false, true, "&Cancel"};
    ButtonState button6{false, true, "Save Results"};
    ButtonState button7{true, true, "Find Phase"};
    ProgressState progressBar1;

    NoticePanel updatePanel;
    NoticePanel messagePanel;

    ResultsGrid grid;
    /// The column the grid was last sorted by, while its rows are still in that order
    /// (the header shows it); -1 when they are not.
    int sortIndicator() const { return grid.revision() == sortedRevision ? sortedColumn : -1; }
    int sortedColumn = -1;
    std::uint64_t sortedRevision = 0;

    /// False while an About or Disclaimers dialog is shown.
    bool enabled = true;
};

} // namespace kestrel
