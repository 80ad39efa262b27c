#include "app/qt/chart_dialog.h"

#include "app/qt/dialogs.h"
#include "engine/targets.h"
#include "plot/plot.h"

#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

#include <algorithm>

namespace kestrel {
namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

constexpr int pageWidth = 720; // the charts' size in points, as in their files
constexpr int pageHeight = 450;

/// The chart as a picture `width` points wide, drawn at the screen's density so that
/// it stays sharp when the desktop scales the window.
QPixmap chartPicture(const plot::Chart& chart, int width, double density)
{
    const plot::Raster r = plot::renderRaster(chart, width * density / pageWidth);
    const QImage image(r.pixels.data(), r.width, r.height, r.stride, QImage::Format_ARGB32_Premultiplied);
    QPixmap picture = QPixmap::fromImage(image.copy());
    picture.setDevicePixelRatio(density);
    return picture;
}

} // namespace

int chartWidthFor(const QSize& freeArea, int count)
{
    // The text, the buttons and the title bar take about 160 points; each chart keeps
    // its proportions and a save button under it.
    const int byHeight = (freeArea.height() - 160) / std::max(count, 1) - 36;
    const int width = std::min({640, freeArea.width() - 40, byHeight * pageWidth / pageHeight});
    return std::max(width, 240);
}

ChartDialog::ChartDialog(QWidget* mainWindow, Host& host, const ChartView& view)
    : QDialog(mainWindow, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      host_(host), view_(view)
{
    setObjectName("ChartDialog");
    setWindowTitle(q(view.caption));
    setModal(true);
    auto* layout = new QVBoxLayout(this);
    for (const std::string& line : view.lines) {
        auto* l = new QLabel(q(line), this);
        // File names and messages are never read as markup.
        l->setTextFormat(Qt::PlainText);
        l->setTextInteractionFlags(Qt::TextSelectableByMouse);
        layout->addWidget(l);
    }
    QScreen* screen = mainWindow && mainWindow->screen() ? mainWindow->screen() : nullptr;
    const QSize freeArea = screen ? screen->availableGeometry().size() : QSize(1024, 768);
    const int width = chartWidthFor(freeArea, static_cast<int>(view.charts.size()));
    const double density = screen ? screen->devicePixelRatio() : 1.0;
    for (std::size_t i = 0; i < view.charts.size(); ++i) {
        auto* picture = new QLabel(this);
        picture->setObjectName(QString("chart%1").arg(i));
        try {
            picture->setPixmap(chartPicture(view.charts[i], width, density));
        } catch (const std::exception& e) {
            picture->setTextFormat(Qt::PlainText);
            picture->setText(q(failureMessage(e)));
        }
        layout->addWidget(picture);
        auto* row = new QHBoxLayout;
        row->addStretch();
        auto* save = new QPushButton(view.charts.size() > 1 ? QString("Save Chart %1...").arg(i + 1) : "&Save Chart...",
                                     this);
        save->setObjectName(QString("save%1").arg(i));
        save->setAutoDefault(false);
        connect(save, &QPushButton::clicked, this, [this, i] { askAndSave(i); });
        row->addWidget(save);
        layout->addLayout(row);
    }
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

void ChartDialog::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    QWidget* over = parentWidget();
    if (!over || !over->isVisible())
        return;
    QPoint at = placeOver(over->frameGeometry(), over->geometry(), frameGeometry(), geometry());
    // A dialog larger than the window stays on the screen.
    if (QScreen* screen = over->screen()) {
        const QRect area = screen->availableGeometry();
        at.setX(std::clamp(at.x(), area.left(), std::max(area.left(), area.right() - frameGeometry().width())));
        at.setY(std::clamp(at.y(), area.top(), std::max(area.top(), area.bottom() - frameGeometry().height())));
    }
    move(at);
}

bool ChartDialog::saveChart(std::size_t index, const std::filesystem::path& file)
{
    if (const auto problem = plotFileProblem(file, {}, {"", "an image"})) {
        host_.errorBox(problem->message);
        return false;
    }
    try {
        plot::writeChart(view_.charts.at(index), file);
        return true;
    } catch (const std::exception& e) {
        host_.errorBox(failureMessage(e));
        return false;
    }
}

void ChartDialog::askAndSave(std::size_t index)
{
    const QString png = "PNG image (*.png)", svg = "SVG drawing (*.svg)", pdf = "PDF document (*.pdf)";
    QFileDialog dialog(this, "Save Chart", QDir::current().filePath(q(view_.fileNames.at(index))),
                       png + ";;" + svg + ";;" + pdf);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return;
    std::filesystem::path file = dialog.selectedFiles().front().toStdString();
    // A name without an extension of the three takes the one of the format chosen.
    if (!plot::formatFor(file)) {
        const QString chosen = dialog.selectedNameFilter();
        file += chosen == svg ? ".svg" : chosen == pdf ? ".pdf" : ".png";
    }
    saveChart(index, file);
}

} // namespace kestrel
