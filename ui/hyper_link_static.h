#pragma once

#include <QColor>
#include <QFont>
#include <QLabel>
#include <QTimer>
#include <functional>

// A label that behaves as a link: link, visited and hover colours, underlining, the
// hand cursor, a tooltip naming the target, and a click that opens the target through
// the desktop. A failed open sounds the beep and says why in a message box.
class HyperLinkStatic : public QLabel {
    Q_OBJECT
  public:
    // Opens a target and returns the launch result: above 32 is success, anything
    // else is a failure code for the message box.
    using Opener = std::function<int(const QString& target)>;

    // Underline modes.
    static constexpr int kUnderlineAlways = 1;
    static constexpr int kUnderlineHover = -1;
    static constexpr int kUnderlineNever = 0;

    explicit HyperLinkStatic(QWidget* parent = nullptr);

    // Takes over the label as it stands (from a form): the target defaults to its
    // text, its font gives the plain and underlined fonts, the tooltip is built.
    void Attach();

    void SetTarget(const QString& target);
    QString Target() const { return target_; }
    void SetUnderline(int mode);
    int Underline() const { return underline_; }
    void SetVisited(bool visited);
    bool Visited() const { return visited_; }
    bool Hovering() const { return hovering_; }
    void SetColours(const QColor& link, const QColor& visited, const QColor& hover);
    void SetTooltipPrefix(bool on);
    void SetFitToText(bool on) { fitToText_ = on; }
    // The colour the text is drawn in now.
    QColor TextColour() const;

    // Replaces the desktop opener (tests force failure codes through this).
    void SetOpener(Opener opener) { opener_ = std::move(opener); }
    // What a click does: open the target, then mark it visited or report the failure.
    void Click();
    void ReportFailure(int code);

    // "Unable to open hyperlink:\n\n" and the text for a launch failure code.
    static QString FailureMessage(int code);
    // The tooltip for a target: "Go to " for web addresses, "E-mail " for mail ones.
    static QString TooltipFor(const QString& target, bool prefix);
    // Opens a target through the desktop's handler for its scheme.
    static int OpenWithDesktop(const QString& target);

  protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    void CheckHover();
    void FitToText();
    void UpdateColour();

    QColor linkColour_{0, 0, 238};
    QColor visitedColour_{85, 26, 139};
    QColor hoverColour_{255, 0, 0};
    bool hovering_ = false;
    bool visited_ = false;
    int underline_ = kUnderlineHover;
    bool fitToText_ = true;
    bool tooltipPrefix_ = true;
    bool attached_ = false;
    QString target_;
    QFont plainFont_;
    QFont underlinedFont_;
    QTimer hoverTimer_;
    Opener opener_ = &HyperLinkStatic::OpenWithDesktop;
};
