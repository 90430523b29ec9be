#include <QApplication>
#include <QStyleFactory>

#include "app/app_state.h"
#include "app/quorvane_app.h"
#include "ui/resources.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(LoadIconResource(128));
    QuorvaneApp quorvane(ProcessAppState(), QuorvaneApp::DefaultOptions());
    return quorvane.Run();
}
