#include "Resources.h"

#include <QDir>
#include <QtGlobal>

void initAmpwardenResources() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(resources);
        return true;
    }();
    Q_UNUSED(registered);
}
