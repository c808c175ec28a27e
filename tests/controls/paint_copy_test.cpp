// "The picture is composed off-screen and copied once": a paint engine that
// counts every drawing call that reaches the widget's painter.
#include <gtest/gtest.h>

#include <QPaintDevice>
#include <QPaintEngine>

#include "controls/segment_display.h"

namespace controls {
namespace {

class CountingEngine : public QPaintEngine {
public:
    CountingEngine() : QPaintEngine(QPaintEngine::AllFeatures) {}

    int images = 0;
    int otherDrawing = 0;
    QRectF imageRect;
    QSize imageSize;

    bool begin(QPaintDevice* /*device*/) override { return true; }
    bool end() override { return true; }
    void updateState(const QPaintEngineState& /*state*/) override {}
    Type type() const override { return QPaintEngine::User; }

    void drawImage(const QRectF& rect, const QImage& image, const QRectF& /*source*/,
                   Qt::ImageConversionFlags /*flags*/) override {
        ++images;
        imageRect = rect;
        imageSize = image.size();
    }
    void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override { ++otherDrawing; }
    void drawTiledPixmap(const QRectF&, const QPixmap&, const QPointF&) override { ++otherDrawing; }
    void drawRects(const QRect*, int) override { ++otherDrawing; }
    void drawRects(const QRectF*, int) override { ++otherDrawing; }
    void drawLines(const QLine*, int) override { ++otherDrawing; }
    void drawLines(const QLineF*, int) override { ++otherDrawing; }
    void drawEllipse(const QRectF&) override { ++otherDrawing; }
    void drawEllipse(const QRect&) override { ++otherDrawing; }
    void drawPath(const QPainterPath&) override { ++otherDrawing; }
    void drawPoints(const QPointF*, int) override { ++otherDrawing; }
    void drawPoints(const QPoint*, int) override { ++otherDrawing; }
    void drawPolygon(const QPointF*, int, PolygonDrawMode) override { ++otherDrawing; }
    void drawPolygon(const QPoint*, int, PolygonDrawMode) override { ++otherDrawing; }
    void drawTextItem(const QPointF&, const QTextItem&) override { ++otherDrawing; }
};

class CountingDevice : public QPaintDevice {
public:
    explicit CountingDevice(QSize size) : m_size(size) {}
    CountingEngine engine;

    QPaintEngine* paintEngine() const override { return const_cast<CountingEngine*>(&engine); }

protected:
    int metric(PaintDeviceMetric metric) const override {
        switch (metric) {
            case PdmWidth:
                return m_size.width();
            case PdmHeight:
                return m_size.height();
            case PdmWidthMM:
                return m_size.width() * 254 / 960;
            case PdmHeightMM:
                return m_size.height() * 254 / 960;
            case PdmNumColors:
                return 0x7FFFFFFF;
            case PdmDepth:
                return 32;
            case PdmDpiX:
            case PdmDpiY:
            case PdmPhysicalDpiX:
            case PdmPhysicalDpiY:
                return 96;
            case PdmDevicePixelRatio:
                return 1;
            case PdmDevicePixelRatioScaled:
                return static_cast<int>(devicePixelRatioFScale());
        }
        return 0;
    }

private:
    QSize m_size;
};

TEST(PaintCopyTest, OnePaintReachesTheWidgetAsOneImage) {
    CSegmentDisplay display;
    display.SetBackgroundColor(0xC0C0C0);
    display.SetSegmentColors(0xC0C0C0, 0xFF0000);
    display.SetText(" 0.000");
    display.resize(327, 120);

    CountingDevice device(QSize(327, 120));
    display.render(&device, QPoint(), QRegion(), QWidget::RenderFlags());

    EXPECT_EQ(device.engine.images, 1);
    EXPECT_EQ(device.engine.otherDrawing, 0);  // 42 segments, none drawn on the widget
    EXPECT_EQ(device.engine.imageSize, QSize(327, 120));
    EXPECT_EQ(device.engine.imageRect, QRectF(0, 0, 327, 120));
    EXPECT_EQ(display.Glyphs().size(), 6u);  // the paint did run
}

}  // namespace
}  // namespace controls
