#pragma once

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPushButton>
#include <initializer_list>

// A push button that paints itself from a horizontal strip of state images: each
// state image is stretched to the button by nine-slice (corners unscaled, edges and
// centre stretched), drawn with one key colour transparent, and the caption is drawn
// centred over it. It behaves otherwise like any push button.
class SkinButton : public QPushButton {
    Q_OBJECT
  public:
    explicit SkinButton(QWidget* parent = nullptr);
    explicit SkinButton(const QString& text, QWidget* parent = nullptr);

    // Loads bitmap `bitmapId` (`frameCount` frames side by side) and builds the normal,
    // pressed, disabled and focused images at the button's size with the given
    // unscaled edges. True when all four were built.
    bool SetUp(int bitmapId, int frameCount, int top, int bottom, int left, int right);
    // Pixels of this colour in the state images are not drawn.
    void SetKeyColour(const QColor& colour);
    // The program's look: the button strip in 5 frames, edges 15, 6, 15, 8, magenta key.
    bool UseProgramSkin();

    bool imagesReady() const { return imagesReady_; }
    const QFont& captionFont() const { return captionFont_; }

    // The button's size in the templates' 50 x 14 dialog units.
    static constexpr int kDefaultWidth = 75;
    static constexpr int kDefaultHeight = 23;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    enum Frame { kFrameNormal = 0, kFramePressed = 1, kFrameDisabled = 2 };
    void InitLook();
    bool BuildImages();
    QImage BuildStateImage(const QImage& strip, int frame, QSize size, bool& ok) const;
    QImage Keyed(const QImage& image) const;
    void DrawStateImage(QPainter& painter, const QImage& image) const;

    bool imagesReady_ = false;
    int bitmapId_ = 0;
    int frameCount_ = 0;
    int top_ = 8;
    int bottom_ = 8;
    int left_ = 8;
    int right_ = 17;
    QColor keyColour_{255, 0, 255};
    QFont captionFont_;
    QColor captionColour_{0, 0, 0};
    // The state images as built, and the same with the key colour made transparent.
    QImage normal_, pressed_, focused_, disabled_;
    QImage normalKeyed_, pressedKeyed_, focusedKeyed_, disabledKeyed_;
};

// Gives `window` the program's icon and each of `buttons` the program's skin.
void UseProgramLook(QWidget* window, std::initializer_list<SkinButton*> buttons);
