// The installed icons are rendered from packaging/kestrel.svg; the window draws its own
// icon in code so that it needs no installed file. The two must show the same falcon.
#include "app/qt/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QIcon>
#include <QImage>

#include <algorithm>
#include <cstdlib>

namespace kestrel {
namespace {

int channelDistance(QRgb a, QRgb b)
{
    return std::max({std::abs(qRed(a) - qRed(b)), std::abs(qGreen(a) - qGreen(b)), std::abs(qBlue(a) - qBlue(b))});
}

TEST(DesktopIcon, RenderedDrawingMatchesTheWindowIcon)
{
    const QImage rendered = QImage(KESTREL_ICON_32).convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(rendered.size(), QSize(32, 32)) << "cannot read " << KESTREL_ICON_32;
    const QImage drawn = kestrelIcon().pixmap(32, 32).toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(drawn.size(), QSize(32, 32));

    // The two renderers smooth edges a little differently (by at most 8 of 255 today);
    // a changed colour or a shape moved by one unit changes at least 16 pixels a lot.
    int differing = 0;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            if (channelDistance(rendered.pixel(x, y), drawn.pixel(x, y)) > 24)
                ++differing;
    EXPECT_LE(differing, 8) << "of 1024 pixels differ between the SVG and kestrelIcon()";
}

} // namespace
} // namespace kestrel
