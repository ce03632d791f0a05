#include "AppIcon.h"

QIcon LoadAppIcon() {
    QIcon icon;
    for (int size : {16, 32, 48}) {
        icon.addFile(QStringLiteral(":/icon128_%1.png").arg(size), QSize(size, size));
    }
    return icon;
}
