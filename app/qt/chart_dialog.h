// A chart dialog: the numbers of a measurement above its charts, each drawn by the plot
// code the files come from and savable as PNG, SVG or PDF. Modal, centred over the main
// window; Esc or Close closes it.
#pragma once

#include "app/form.h"

#include <QDialog>

namespace kestrel {

class ChartDialog : public QDialog {
public:
    ChartDialog(QWidget* mainWindow, Host& host, const ChartView& view);

    /// Writes chart `index` into `file`, in the format its extension names; a failure
    /// is shown in an error box. True when written.
    bool saveChart(std::size_t index, const std::filesystem::path& file);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void askAndSave(std::size_t index);

    Host& host_;
    ChartView view_;
};

/// The width in points a chart is shown at, so that `count` charts one under the other,
/// with room for the text, fit the free area of the screen: at most 640.
int chartWidthFor(const QSize& freeArea, int count);

} // namespace kestrel
