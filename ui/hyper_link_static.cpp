#include "ui/hyper_link_static.h"

#include <QApplication>
#include <QCursor>
#include <QDesktopServices>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QUrl>
#include <array>

#include "ui/message_box.h"

namespace {

constexpr int kHoverPeriodMs = 100;
// Launch results above this are success; the ones below are the failure codes.
constexpr int kLaunchOk = 32;
// What the desktop opener reports when no program took the address.
constexpr int kNoAssociation = 31;

struct FailureText {
    int code;
    const char* text;
};

constexpr std::array<FailureText, 13> kFailureTexts{{
    {0, "The operating system is out\nof memory or resources."},
    {2, "The specified file was not found."},
    {3, "The specified path was not found."},
    {5, "The operating system denied\naccess to the specified file."},
    {8, "There was not enough memory to complete the operation."},
    {11, "The .EXE file is invalid\n(non-Win32 .EXE or error in .EXE image)."},
    {26, "A sharing violation occurred. "},
    {27, "The filename association is\nincomplete or invalid."},
    {28, "The DDE transaction could not\nbe completed because the request timed out."},
    {29, "The DDE transaction failed."},
    {30,
     "The DDE transaction could not\nbe completed because other DDE transactions\nwere "
     "being processed."},
    {31, "There is no application associated\nwith the given filename extension."},
    {32, "The specified dynamic-link library was not found."},
}};

}  // namespace

HyperLinkStatic::HyperLinkStatic(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setOpenExternalLinks(false);
    hoverTimer_.setInterval(kHoverPeriodMs);
    connect(&hoverTimer_, &QTimer::timeout, this, &HyperLinkStatic::CheckHover);
}

void HyperLinkStatic::Attach() {
    setMouseTracking(true);
    if (target_.isEmpty()) {
        target_ = text();
        if (target_.startsWith(QLatin1String("www."), Qt::CaseInsensitive)) {
            target_.prepend(QLatin1String("http://"));
        }
    }
    if (text().isEmpty()) {
        setText(target_);
    }
    plainFont_ = font();
    plainFont_.setUnderline(false);
    underlinedFont_ = plainFont_;
    underlinedFont_.setUnderline(true);
    // No background of its own: the page shows through, as behind the other labels.
    setAutoFillBackground(false);
    attached_ = true;
    FitToText();
    setCursor(Qt::PointingHandCursor);
    setToolTip(TooltipFor(target_, tooltipPrefix_));
    UpdateColour();
}

void HyperLinkStatic::SetTarget(const QString& target) {
    target_ = target;
    if (attached_) {
        FitToText();
        setToolTip(TooltipFor(target_, tooltipPrefix_));
    }
}

void HyperLinkStatic::SetUnderline(int mode) {
    if (mode == underline_) {
        return;
    }
    if (attached_) {
        setFont(mode == kUnderlineAlways ? underlinedFont_ : plainFont_);
        update();
    }
    underline_ = mode;
}

void HyperLinkStatic::SetVisited(bool visited) {
    visited_ = visited;
    if (attached_) {
        UpdateColour();
    }
}

void HyperLinkStatic::SetColours(const QColor& link, const QColor& visited, const QColor& hover) {
    linkColour_ = link;
    visitedColour_ = visited;
    hoverColour_ = hover;
    if (attached_) {
        UpdateColour();
    }
}

void HyperLinkStatic::SetTooltipPrefix(bool on) {
    tooltipPrefix_ = on;
    if (attached_) {
        setToolTip(TooltipFor(target_, tooltipPrefix_));
    }
}

QColor HyperLinkStatic::TextColour() const {
    if (hovering_) {
        return hoverColour_;
    }
    return visited_ ? visitedColour_ : linkColour_;
}

void HyperLinkStatic::Click() {
    hovering_ = false;
    UpdateColour();
    const int result = opener_ ? opener_(target_) : 0;
    if (result > kLaunchOk) {
        SetVisited(true);
        return;
    }
    QApplication::beep();
    ReportFailure(result);
}

void HyperLinkStatic::ReportFailure(int code) {
    ShowMessage(this, FailureMessage(code));
}

QString HyperLinkStatic::FailureMessage(int code) {
    QString reason = QStringLiteral("Unknown Error (%1) occurred.").arg(code);
    for (const FailureText& entry : kFailureTexts) {
        if (entry.code == code) {
            reason = QString::fromLatin1(entry.text);
            break;
        }
    }
    return QStringLiteral("Unable to open hyperlink:\n\n") + reason;
}

QString HyperLinkStatic::TooltipFor(const QString& target, bool prefix) {
    if (!prefix) {
        return target;
    }
    // Only the plain web prefix is dropped: a secure address keeps "https://" so the
    // user sees that the link is secure before following it.
    const QLatin1String web("http://");
    if (target.startsWith(web, Qt::CaseInsensitive)) {
        return QStringLiteral("Go to ") + target.mid(web.size());
    }
    const QLatin1String mail("mailto:");
    if (target.startsWith(mail, Qt::CaseInsensitive)) {
        return QStringLiteral("E-mail ") + target.mid(mail.size());
    }
    return target;
}

int HyperLinkStatic::OpenWithDesktop(const QString& target) {
    const QUrl url = QUrl::fromUserInput(target);
    if (!url.isValid()) {
        return 2;  // nothing there to open
    }
    return QDesktopServices::openUrl(url) ? kLaunchOk + 1 : kNoAssociation;
}

void HyperLinkStatic::mouseMoveEvent(QMouseEvent* event) {
    if (!hovering_) {
        hovering_ = true;
        if (underline_ == kUnderlineHover) {
            setFont(underlinedFont_);
        }
        UpdateColour();
        hoverTimer_.start();
    }
    QLabel::mouseMoveEvent(event);
}

void HyperLinkStatic::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Click();
    }
}

// The leave event is not reliable while a button is held or a tooltip shows, so the
// timer looks where the cursor is.
void HyperLinkStatic::CheckHover() {
    if (rect().contains(mapFromGlobal(QCursor::pos()))) {
        return;
    }
    hovering_ = false;
    hoverTimer_.stop();
    if (underline_ != kUnderlineAlways) {
        setFont(plainFont_);
    }
    UpdateColour();
}

// Only the text is clickable: the label shrinks to the text in the underlined font,
// keeping the edge (or centre) its alignment pins.
void HyperLinkStatic::FitToText() {
    if (!fitToText_ || !attached_) {
        return;
    }
    const QFontMetrics metrics(underlinedFont_);
    const QSize extent = metrics.size(Qt::TextSingleLine, text());
    const int border = 2 * (frameWidth() + margin());
    const QMargins m = contentsMargins();
    const QSize size(extent.width() + border + m.left() + m.right(),
                     extent.height() + border + m.top() + m.bottom());
    const QRect old = geometry();
    QRect fitted(old.topLeft(), size);
    const Qt::Alignment align = alignment();
    if (align & Qt::AlignVCenter) {
        fitted.moveTop(old.center().y() - size.height() / 2);
    }
    if (align & Qt::AlignHCenter) {
        fitted.moveLeft(old.center().x() - size.width() / 2);
    } else if (align & Qt::AlignRight) {
        fitted.moveRight(old.right());
    }
    setFixedSize(size);
    setGeometry(fitted);
}

void HyperLinkStatic::UpdateColour() {
    QPalette pal = palette();
    pal.setColor(QPalette::WindowText, TextColour());
    setPalette(pal);
    update();
}
