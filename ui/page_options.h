#pragma once

#include <QWidget>

// The "Options" page: product name, version, terms of use and the home page link.
class CPageOptions : public QWidget {
    Q_OBJECT
  public:
    explicit CPageOptions(QWidget* parent = nullptr);
};
