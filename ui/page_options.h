#pragma once

#include <QWidget>
#include <memory>

class HyperLinkStatic;
namespace Ui {
class PageOptions;
}

// The "Options" page: product name, version, terms of use and the home page link.
class CPageOptions : public QWidget {
    Q_OBJECT
  public:
    explicit CPageOptions(QWidget* parent = nullptr);
    ~CPageOptions() override;

    HyperLinkStatic* Link() const;

    static const char* const kHomePage;
    static const char* const kFeedbackAddress;

  private:
    std::unique_ptr<Ui::PageOptions> ui_;
};
