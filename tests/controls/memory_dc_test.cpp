// The off-screen surface.
#include "controls/memory_dc.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QPainter>

namespace controls {
namespace {

constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kRed = 0xFFFF0000;
constexpr QRgb kBackground = 0xFF102030;

QImage WhiteImage() {
    QImage image(100, 80, QImage::Format_RGB32);
    image.fill(kWhite);
    return image;
}

TEST(MemoryDCTest, NothingReachesTheTargetBeforeClosing) {
    QImage target = WhiteImage();
    QPainter paintDC(&target);
    paintDC.setBackground(QColor(kBackground));
    {
        CMemoryDC dc(&paintDC, QRect(0, 0, 100, 80));
        dc.fillRect(QRect(10, 10, 5, 5), QColor(kRed));
        EXPECT_EQ(target.pixel(12, 12), kWhite);
        EXPECT_EQ(target.pixel(50, 50), kWhite);  // not even the background
    }
    EXPECT_EQ(target.pixel(12, 12), kRed);
    EXPECT_EQ(target.pixel(50, 50), kBackground);  // filled with the target's background
}

TEST(MemoryDCTest, OffsetRectangleKeepsTheTargetsLogicalCoordinates) {
    QImage target = WhiteImage();
    QPainter paintDC(&target);
    paintDC.setBackground(QColor(kBackground));
    paintDC.translate(7, 3);  // a mapping of the target's own
    {
        CMemoryDC dc(&paintDC, QRect(20, 30, 40, 20));
        dc.fillRect(QRect(25, 35, 2, 2), QColor(kRed));
        dc.setPen(QColor(kRed));
        dc.drawPoint(59, 49);  // the rectangle's last pixel
    }
    EXPECT_EQ(target.pixel(25 + 7, 35 + 3), kRed);
    EXPECT_EQ(target.pixel(26 + 7, 36 + 3), kRed);
    EXPECT_EQ(target.pixel(59 + 7, 49 + 3), kRed);
    EXPECT_EQ(target.pixel(20 + 7, 30 + 3), kBackground);  // covered, undrawn
    EXPECT_EQ(target.pixel(19 + 7, 30 + 3), kWhite);       // left of the rectangle
    EXPECT_EQ(target.pixel(60 + 7, 49 + 3), kWhite);       // right of it
    EXPECT_EQ(target.pixel(59 + 7, 50 + 3), kWhite);       // below it
}

TEST(MemoryDCTest, ScaledTargetGetsAPictureOfTheDeviceSize) {
    QImage target = WhiteImage();
    QPainter paintDC(&target);
    paintDC.setBackground(QColor(kBackground));
    paintDC.scale(2, 2);
    {
        CMemoryDC dc(&paintDC, QRect(5, 5, 10, 10));     // device 10..30
        dc.fillRect(QRect(10, 10, 1, 1), QColor(kRed));  // device 20..22
    }
    EXPECT_EQ(target.pixel(20, 20), kRed);
    EXPECT_EQ(target.pixel(21, 21), kRed);
    EXPECT_EQ(target.pixel(22, 22), kBackground);
    EXPECT_EQ(target.pixel(29, 29), kBackground);
    EXPECT_EQ(target.pixel(30, 30), kWhite);
}

// A target of a scaled display: the picture has the device's pixels, and
// logical drawing lands where it lands on the target.
TEST(MemoryDCTest, ScaledDisplayGetsOnePicturePixelPerDevicePixel) {
    QImage target(150, 120, QImage::Format_RGB32);  // 100 x 80 at 1.5
    target.setDevicePixelRatio(1.5);
    target.fill(kWhite);
    QPainter paintDC(&target);
    paintDC.setBackground(QColor(kBackground));
    {
        CMemoryDC dc(&paintDC, QRect(10, 10, 20, 20));  // device 15..45
        EXPECT_EQ(dc.PixelSize(), QSize(30, 30));
        dc.fillRect(QRect(20, 20, 2, 2), QColor(kRed));  // device 30..33
        dc.UsePixelCoordinates();
        dc.fillRect(QRect(29, 0, 1, 1), QColor(kRed));  // device pixel 44,15
    }
    EXPECT_EQ(target.pixel(30, 30), kRed);
    EXPECT_EQ(target.pixel(32, 32), kRed);
    EXPECT_EQ(target.pixel(33, 33), kBackground);
    EXPECT_EQ(target.pixel(29, 29), kBackground);
    EXPECT_EQ(target.pixel(44, 15), kRed);
    EXPECT_EQ(target.pixel(43, 15), kBackground);
    EXPECT_EQ(target.pixel(44, 16), kBackground);
    EXPECT_EQ(target.pixel(15, 15), kBackground);
    EXPECT_EQ(target.pixel(44, 44), kBackground);
    EXPECT_EQ(target.pixel(14, 14), kWhite);
    EXPECT_EQ(target.pixel(45, 45), kWhite);
}

}  // namespace
}  // namespace controls
