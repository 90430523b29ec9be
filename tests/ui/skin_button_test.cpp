#include <QImage>
#include <QtTest>

#include "ui/resources.h"
#include "ui/skin_button.h"

namespace {
constexpr QRgb kKey = 0xFFFF00FF;
constexpr int kFrameWidth = 54;

QImage Paint(SkinButton& button) {
    return button.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

// Frame `frame` of the strip as a bare button shows it: the key colour left as the face.
QRgb StripPixel(const QImage& strip, int frame, int x, int y, QRgb face) {
    const QRgb pixel = strip.pixel(frame * kFrameWidth + x, y) | 0xFF000000;
    return pixel == kKey ? face : pixel;
}

// The darkest grey level and the leftmost column of pixels that differ from `bare`.
struct Ink {
    int darkest = 255;
    int left = -1;
};
Ink FindInk(const QImage& painted, const QImage& bare) {
    Ink ink;
    for (int x = 0; x < painted.width(); ++x) {
        for (int y = 0; y < painted.height(); ++y) {
            if (painted.pixel(x, y) != bare.pixel(x, y)) {
                ink.darkest = std::min(ink.darkest, qGray(painted.pixel(x, y)));
                if (ink.left < 0) {
                    ink.left = x;
                }
            }
        }
    }
    return ink;
}
}  // namespace

class SkinButtonTest : public QObject {
    Q_OBJECT
  private slots:
    void initTestCase() {
        strip_ = LoadBitmapResource(129).convertToFormat(QImage::Format_RGB32);
        QCOMPARE(strip_.size(), QSize(270, 23));
    }

    void stripFramesHaveTheirLayout() {
        // Frames 3 and 4 repeat frame 1; the corners of every frame lie outside the outline.
        for (int frame = 0; frame < 5; ++frame) {
            QCOMPARE(strip_.pixel(frame * kFrameWidth, 0), kKey);
            QCOMPARE(strip_.pixel(frame * kFrameWidth + 53, 22), kKey);
        }
        for (int x = 0; x < kFrameWidth; ++x) {
            for (int y = 0; y < 23; ++y) {
                QCOMPARE(strip_.pixel(3 * kFrameWidth + x, y), strip_.pixel(kFrameWidth + x, y));
                QCOMPARE(strip_.pixel(4 * kFrameWidth + x, y), strip_.pixel(kFrameWidth + x, y));
            }
        }
    }

    void exactSizeShowsFrameZeroOnTheFace() {
        SkinButton button;
        button.resize(kFrameWidth, 23);
        QVERIFY(button.UseProgramSkin());
        const QImage image = Paint(button);
        const QRgb face = button.palette().color(QPalette::Button).rgb();
        for (int x = 0; x < kFrameWidth; ++x) {
            for (int y = 0; y < 23; ++y) {
                QCOMPARE(image.pixel(x, y), StripPixel(strip_, 0, x, y, face));
            }
        }
    }

    void disabledShowsFrameTwoWithGreyCaption() {
        SkinButton button;
        button.resize(kFrameWidth, 23);
        button.UseProgramSkin();
        button.setEnabled(false);
        const QImage bare = Paint(button);
        const QRgb face = button.palette().color(QPalette::Button).rgb();
        for (int x = 0; x < kFrameWidth; ++x) {
            for (int y = 0; y < 23; ++y) {
                QCOMPARE(bare.pixel(x, y), StripPixel(strip_, 2, x, y, face));
            }
        }
        button.setText(QStringLiteral("OK"));
        const Ink grey = FindInk(Paint(button), bare);
        button.setEnabled(true);
        button.setText(QString());
        const QImage enabledBare = Paint(button);
        button.setText(QStringLiteral("OK"));
        const Ink black = FindInk(Paint(button), enabledBare);
        QVERIFY(grey.left >= 0 && black.left >= 0);
        QVERIFY2(grey.darkest > black.darkest + 40, "the disabled caption is not grey");
    }

    void pressedShowsFrameOneAndShiftsTheCaption() {
        SkinButton button;
        button.resize(kFrameWidth, 23);
        button.UseProgramSkin();
        button.setDown(true);
        const QImage bare = Paint(button);
        const QRgb face = button.palette().color(QPalette::Button).rgb();
        for (int x = 0; x < kFrameWidth; ++x) {
            for (int y = 0; y < 23; ++y) {
                // Frame 1 lies over frame 0, whose pixels show where frame 1 is keyed out.
                QRgb expected = StripPixel(strip_, 1, x, y, 0);
                if (expected == 0) {
                    expected = StripPixel(strip_, 0, x, y, face);
                }
                QCOMPARE(bare.pixel(x, y), expected);
            }
        }
        button.setText(QStringLiteral("OK"));
        const Ink pressed = FindInk(Paint(button), bare);
        button.setDown(false);
        button.setText(QString());
        const QImage upBare = Paint(button);
        button.setText(QStringLiteral("OK"));
        const Ink up = FindInk(Paint(button), upBare);
        // The text box loses 5 pixels on the left, so the centred caption moves 2 or 3.
        QVERIFY2(pressed.left >= up.left + 2, "the caption did not move right");
    }

    void widerButtonKeepsItsBordersUnscaled() {
        SkinButton button;
        button.resize(120, 23);
        QVERIFY(button.UseProgramSkin());
        const QImage image = Paint(button);
        const QRgb face = button.palette().color(QPalette::Button).rgb();
        for (int y = 0; y < 23; ++y) {
            for (int x = 0; x < 15; ++x) {
                QCOMPARE(image.pixel(x, y), StripPixel(strip_, 0, x, y, face));
            }
            for (int x = 0; x < 8; ++x) {
                QCOMPARE(image.pixel(112 + x, y), StripPixel(strip_, 0, 46 + x, y, face));
            }
            // The middle is the strip's middle stretched, which is the same across.
            for (int x = 15; x < 112; ++x) {
                QCOMPARE(image.pixel(x, y), StripPixel(strip_, 0, 30, y, face));
            }
        }
    }

    void followsItsSizeAndNeverShowsTheKey() {
        SkinButton button(QStringLiteral("&Close"));
        button.UseProgramSkin();
        button.resize(90, 30);  // a layout may settle the size after set-up
        const QImage image = Paint(button);
        QCOMPARE(image.size(), QSize(90, 30));
        for (int x = 0; x < 90; ++x) {
            for (int y = 0; y < 30; ++y) {
                QVERIFY(image.pixel(x, y) != kKey);
            }
        }
        QCOMPARE(image.pixel(45, 0), strip_.pixel(27, 0));  // the top border, unscaled
    }

    void withoutSetUpPaintsOnlyFaceAndCaption() {
        SkinButton button;
        button.resize(kFrameWidth, 23);
        QVERIFY(!button.imagesReady());
        const QImage image = Paint(button);
        const QRgb face = button.palette().color(QPalette::Button).rgb();
        for (int x = 0; x < kFrameWidth; ++x) {
            for (int y = 0; y < 23; ++y) {
                QCOMPARE(image.pixel(x, y), face);
            }
        }
        QVERIFY(!button.SetUp(999, 5, 15, 6, 15, 8));
        QVERIFY(!button.imagesReady());
        QCOMPARE(button.captionFont().weight(), QFont::Medium);
    }

  private:
    QImage strip_;
};

QTEST_MAIN(SkinButtonTest)
#include "skin_button_test.moc"
