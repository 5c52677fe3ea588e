#include "settings/namehistory.h"

#include "common/messages.h"
#include "settings/xmlstore.h"

#include <QDomDocument>
#include <QFile>

QStringList namehistory;

namespace {

const QString Caption = QStringLiteral("Orvanta");

void showDamaged() {
    messages().show(QStringLiteral("Can't Load Naming Rules"), Caption, MessageIcon::Information,
                    MessageButtons::Ok);
}

} // namespace

void loadnames(const QString& path) {
    if (!QFile::exists(path)) {
        return;
    }
    QDomDocument document;
    if (!xmlstore::readDocument(path, document).isEmpty()) {
        showDamaged();
        return;
    }
    const QDomElement root = document.documentElement();
    if (root.tagName() != QLatin1String("Auto-names")) {
        return;
    }
    const QHash<QString, QDomElement> children = xmlstore::childrenByName(root);
    const QDomElement options = children.value(QStringLiteral("options"));
    const std::optional<int32_t> count =
        options.isNull() || !options.hasAttribute(QStringLiteral("number"))
            ? std::nullopt
            : xmlstore::toInt32(options.attribute(QStringLiteral("number")));
    if (!count || *count < 0) {
        showDamaged();
        return;
    }
    // The count comes from the file, so the loop ends at the first missing entry rather than
    // trusting it.
    for (int32_t i = 0; i < *count; ++i) {
        const QDomElement entry = children.value(QStringLiteral("name%1").arg(i));
        if (entry.isNull() || !entry.hasAttribute(QStringLiteral("string"))) {
            showDamaged();
            return;
        }
        namehistory.append(entry.attribute(QStringLiteral("string")));
    }
}

bool savenames(const QString& path) {
    xmlstore::DocumentWriter writer(QStringLiteral("Auto-names"));
    writer.addElement(QStringLiteral("options"),
                      {{QStringLiteral("number"), QString::number(namehistory.size())}});
    for (qsizetype i = 0; i < namehistory.size(); ++i) {
        writer.addElement(QStringLiteral("name%1").arg(i),
                          {{QStringLiteral("string"), namehistory.at(i)}});
    }
    if (const QString problem = xmlstore::writeFileAtomically(path, writer.finish());
        !problem.isEmpty()) {
        messages().show(QStringLiteral("Could not save the naming rules to \"%1\": %2.\nThe "
                                       "previous naming-rules file was left as it was.")
                            .arg(path, problem),
                        Caption, MessageIcon::Error, MessageButtons::Ok);
        return false;
    }
    return true;
}
