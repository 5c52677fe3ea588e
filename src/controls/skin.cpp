#include "skin.h"

#include "common/datafiles.h"

namespace skin {

QImage load(const QString& fileName) {
    const QString path = findDataFile(QStringLiteral("skin/") + fileName);
    if (path.isEmpty())
        return {};
    return QImage(path);
}

} // namespace skin
