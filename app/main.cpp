#include <QApplication>
#include <QStyleFactory>

#include "app/app_state.h"
#include "app/quorvane_app.h"
#include "ui/resources.h"

namespace {
// The one application object, for the whole process: a worker thread that could not
// be stopped in time may still finish with it while the process ends.
AppState state;
}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorvane"));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(LoadIconResource(128));
    QuorvaneApp quorvane(state, QuorvaneApp::DefaultOptions());
    return quorvane.Run();
}
