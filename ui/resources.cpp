#include "ui/resources.h"

#include <QDir>
#include <QFileInfo>
#include <QString>

// The resources live in a static library: nothing would pull their object file into
// the program unless something refers to it, so every lookup registers them first.
// (The registration must sit outside any namespace.)
static void RegisterResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(quorvane);
        return true;
    }();
    (void)registered;
}

QImage LoadBitmapResource(int id) {
    RegisterResources();
    return QImage(QStringLiteral(":/bitmap/%1.bmp").arg(id));
}

QIcon LoadIconResource(int id) {
    RegisterResources();
    QIcon icon;
    const QDir dir(QStringLiteral(":/icon/%1").arg(id));
    for (const QFileInfo& file : dir.entryInfoList(QDir::Files)) {
        icon.addFile(file.filePath());
    }
    return icon;
}

QIcon ProgramIcon() {
    return LoadIconResource(kProgramIconId);
}
