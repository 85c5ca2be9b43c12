// The main window at the scale factor the test runs with (QT_SCALE_FACTOR, registered once per factor):
// the image buttons' borders and the black around them have no light seams or hairlines.
#include "support/ShownMainWindow.h"
#include "ui/Form1.h"
#include "ui/UiFont.h"

#include <QApplication>
#include <QTest>
#include <cmath>

using qb::ui::Form1;

namespace {

// The darkest a pixel of the border ring can be called black: the button face's JPEG leaves a little
// noise in its black corners, a seam of the white background colour is far above it.
constexpr int kDarkest = 80;

} // namespace

class HighDpiTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setFont(qb::ui::defaultUiFont()); }

    void imageButtonsHaveNoLightSeams()
    {
        const double scale = qEnvironmentVariable("QT_SCALE_FACTOR", QStringLiteral("1")).toDouble();
        qb::test::RecordedParts parts;
        parts.turnTipsOff();
        qb::app::Program program(parts.parts());
        program.start();
        Form1& form = program.window();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.devicePixelRatioF(), scale);

        const QImage shot = form.grab().toImage().convertToFormat(QImage::Format_RGB32);
        QCOMPARE(shot.size(), (QSizeF(Form1::kClientWidth, Form1::kClientHeight) * scale).toSize());

        // Around each button, in window pixels: one pixel of black outside it, its one-pixel border and
        // the outermost pixel of the picture, which is black around the grey face. A device pixel
        // is checked when it lies wholly inside that ring.
        for (const QWidget* button :
             {static_cast<QWidget*>(form.Command1), static_cast<QWidget*>(form.Command2),
              static_cast<QWidget*>(form.Command3)}) {
            const QRectF outer = QRectF(button->geometry()).adjusted(-1, -1, 1, 1);
            const QRectF inner = QRectF(button->geometry()).adjusted(2, 2, -2, -2);
            int checked = 0;
            for (int y = 0; y < shot.height(); ++y) {
                for (int x = 0; x < shot.width(); ++x) {
                    const QRectF pixel(x / scale, y / scale, 1 / scale, 1 / scale);
                    if (!outer.contains(pixel) || inner.intersects(pixel))
                        continue;
                    ++checked;
                    const QColor colour = shot.pixelColor(x, y);
                    const int brightest = std::max({colour.red(), colour.green(), colour.blue()});
                    if (brightest > kDarkest)
                        QFAIL(qPrintable(QStringLiteral("%1 at scale %2: device pixel (%3, %4) is %5")
                                             .arg(button->objectName())
                                             .arg(scale)
                                             .arg(x)
                                             .arg(y)
                                             .arg(colour.name())));
                }
            }
            QVERIFY(checked > 300 * scale); // the ring, not a handful of pixels
        }
    }
};

QTEST_MAIN(HighDpiTest)
#include "HighDpiTest.moc"
