#include "ui/skin_button.h"

#include <QPainter>
#include <QStyle>
#include <algorithm>
#include <utility>

#include "ui/resources.h"

namespace {
constexpr int kCaptionShift = 5;  // pixels the caption moves right while pressed
constexpr int kCaptionPixels = 12;
constexpr int kCaptionMargin = 16;
}  // namespace

SkinButton::SkinButton(QWidget* parent) : QPushButton(parent) {
    InitLook();
}

SkinButton::SkinButton(const QString& text, QWidget* parent) : QPushButton(text, parent) {
    InitLook();
}

void SkinButton::InitLook() {
    // The painting below covers every pixel, so no background is erased first: that
    // and Qt's backing store keep the button from flickering.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    captionFont_ = font();
    captionFont_.setFamilies({QStringLiteral("MS Sans Serif"), font().family()});
    captionFont_.setStyleHint(QFont::SansSerif, QFont::PreferQuality);
    captionFont_.setPixelSize(kCaptionPixels);
    captionFont_.setItalic(false);
    captionFont_.setUnderline(false);
    captionFont_.setStrikeOut(false);
    captionFont_.setWeight(QFont::Medium);  // 500: a touch heavier than the dialog text
    resize(sizeHint());
}

QSize SkinButton::sizeHint() const {
    const int textWidth =
        QFontMetrics(captionFont_).horizontalAdvance(QString(text()).remove(QLatin1Char('&')));
    return {std::max(kDefaultWidth, textWidth + kCaptionMargin), kDefaultHeight};
}

QSize SkinButton::minimumSizeHint() const {
    return sizeHint();
}

bool SkinButton::SetUp(int bitmapId, int frameCount, int top, int bottom, int left, int right) {
    bitmapId_ = bitmapId;
    frameCount_ = frameCount;
    top_ = top;
    bottom_ = bottom;
    left_ = left;
    right_ = right;
    return BuildImages();
}

void SkinButton::SetKeyColour(const QColor& colour) {
    keyColour_ = colour;
    normalKeyed_ = Keyed(normal_);
    pressedKeyed_ = Keyed(pressed_);
    focusedKeyed_ = Keyed(focused_);
    disabledKeyed_ = Keyed(disabled_);
    update();
}

bool SkinButton::UseProgramSkin() {
    const bool built = SetUp(kButtonStripId, 5, 15, 6, 15, 8);
    SetKeyColour(QColor(255, 0, 255));
    return built;
}

bool SkinButton::BuildImages() {
    normal_ = pressed_ = focused_ = disabled_ = QImage();
    const QImage strip = LoadBitmapResource(bitmapId_);
    bool ok = !strip.isNull() && frameCount_ > 0;
    const QSize size = this->size();
    // In this order, stopping at the first failure.
    const std::pair<QImage*, Frame> states[] = {{&normal_, kFrameNormal},
                                                {&pressed_, kFramePressed},
                                                {&disabled_, kFrameDisabled},
                                                {&focused_, kFrameNormal}};
    for (const auto& [image, frame] : states) {
        if (!ok) {
            break;
        }
        *image = BuildStateImage(strip, frame, size, ok);
        imagesReady_ = imagesReady_ || ok;
    }
    SetKeyColour(keyColour_);
    return ok;
}

QImage SkinButton::BuildStateImage(const QImage& strip, int frame, QSize size, bool& ok) const {
    const int fw = strip.width() / frameCount_;
    const int fh = strip.height();
    const int x0 = frame * fw;
    const int w = size.width();
    const int h = size.height();
    const int t = top_, b = bottom_, l = left_, r = right_;
    if (frame >= frameCount_ || w <= 0 || h <= 0 || l < 0 || r < 0 || t < 0 || b < 0 ||
        l + r > fw || t + b > fh) {
        ok = false;
        return {};
    }
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(keyColour_);
    QPainter painter(&image);
    // Nearest-neighbour stretching only: smoothing would blend the key colour into
    // the outline and leave a pink fringe.
    const auto piece = [&](QRect source, QRect target) {
        if (source.width() <= 0 || source.height() <= 0 || target.width() <= 0 ||
            target.height() <= 0) {
            return;
        }
        painter.drawImage(target.topLeft(),
                          strip.copy(source).scaled(target.size(), Qt::IgnoreAspectRatio,
                                                    Qt::FastTransformation));
    };
    // The stretched pieces first, then the corners over them, so that a button
    // smaller than its edges still shows whole corners.
    piece({x0 + l, t, fw - l - r, fh - t - b}, {l, t, w - l - r, h - t - b});
    piece({x0 + l, 0, fw - l - r, t}, {l, 0, w - l - r, t});
    piece({x0 + l, fh - b, fw - l - r, b}, {l, h - b, w - l - r, b});
    piece({x0, t, l, fh - t - b}, {0, t, l, h - t - b});
    piece({x0 + fw - r, t, r, fh - t - b}, {w - r, t, r, h - t - b});
    piece({x0, 0, l, t}, {0, 0, l, t});
    piece({x0, fh - b, l, b}, {0, h - b, l, b});
    piece({x0 + fw - r, 0, r, t}, {w - r, 0, r, t});
    piece({x0 + fw - r, fh - b, r, b}, {w - r, h - b, r, b});
    return image;
}

QImage SkinButton::Keyed(const QImage& image) const {
    if (image.isNull()) {
        return {};
    }
    QImage keyed = image.convertToFormat(QImage::Format_ARGB32);
    const QRgb key = keyColour_.rgb();
    for (int y = 0; y < keyed.height(); ++y) {
        auto* line = reinterpret_cast<QRgb*>(keyed.scanLine(y));
        for (int x = 0; x < keyed.width(); ++x) {
            if (line[x] == key) {
                line[x] = 0;
            }
        }
    }
    return keyed;
}

void SkinButton::DrawStateImage(QPainter& painter, const QImage& image) const {
    // A state whose image was not built (set-up stopped part-way) shows none.
    if (!imagesReady_ || image.isNull()) {
        return;
    }
    painter.drawImage(0, 0, image);
}

void SkinButton::resizeEvent(QResizeEvent* event) {
    QPushButton::resizeEvent(event);
    // Layouts settle a button's size after its dialog is built, so the images follow.
    if (bitmapId_ != 0) {
        BuildImages();
    }
}

void SkinButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Button));
    QRect textRect = rect();
    QColor captionColour = captionColour_;
    // A button held down always has the focus on the desktop this mirrors.
    if (hasFocus() || isDown()) {
        DrawStateImage(painter, focusedKeyed_);
        if (isDown()) {
            DrawStateImage(painter, pressedKeyed_);
            textRect.setLeft(textRect.left() + kCaptionShift);
        }
    } else if (!isEnabled()) {
        DrawStateImage(painter, disabledKeyed_);
        captionColour = palette().color(QPalette::Disabled, QPalette::ButtonText);
    } else {
        DrawStateImage(painter, normalKeyed_);
    }
    const int mnemonic = style()->styleHint(QStyle::SH_UnderlineShortcut, nullptr, this)
                             ? Qt::TextShowMnemonic
                             : Qt::TextHideMnemonic;
    painter.setFont(captionFont_);
    painter.setPen(captionColour);
    painter.drawText(textRect, Qt::AlignCenter | Qt::TextSingleLine | mnemonic, text());
}

void UseProgramLook(QWidget* window, std::initializer_list<SkinButton*> buttons) {
    window->setWindowIcon(ProgramIcon());
    for (SkinButton* button : buttons) {
        button->UseProgramSkin();
    }
}
