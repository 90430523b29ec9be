#include "ui/page_options.h"

CPageOptions::CPageOptions(QWidget* parent) : QWidget(parent) {}
