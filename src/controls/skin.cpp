#include "skin.h"

#include "common/datafiles.h"

namespace skin {

QImage load(const QString& fileName) {
    const QString path = findDataFile(QStringLiteral("skin/") + fileName);
    if (path.isEmpty()) {
        // The window still works, drawn without the picture; say why it looks broken.
        qWarning("The skin picture \"%s\" is missing; is Orvanta installed completely?",
                 qUtf8Printable(fileName));
        return {};
    }
    return QImage(path);
}

} // namespace skin
