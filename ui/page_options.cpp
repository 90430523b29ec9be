#include "ui/page_options.h"

#include "ui/hyper_link_static.h"
#include "ui_page_options.h"

const char* const CPageOptions::kHomePage = "https://www.example.com/quorvane";
const char* const CPageOptions::kFeedbackAddress = "feedback@example.com";

CPageOptions::CPageOptions(QWidget* parent)
    : QWidget(parent), ui_(std::make_unique<Ui::PageOptions>()) {
    ui_->setupUi(this);
    QFont product = ui_->productLabel->font();
    product.setBold(true);
    ui_->productLabel->setFont(product);
    ui_->homeLink->Attach();
    ui_->homeLink->SetTarget(QString::fromLatin1(kHomePage));
    ui_->homeLink->SetUnderline(HyperLinkStatic::kUnderlineAlways);
}

CPageOptions::~CPageOptions() = default;

HyperLinkStatic* CPageOptions::Link() const {
    return ui_->homeLink;
}
