#include "settings/namehistory.h"

#include "common/messages.h"
#include "settings/xmlstore.h"

#include <QFile>

#include <map>

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
    QString problem;
    const std::optional<QByteArray> bytes = xmlstore::readFile(path, problem);
    xmlstore::Document document;
    if (bytes) {
        problem = xmlstore::parseDocument(*bytes, document);
    }
    if (!problem.isEmpty()) {
        xmlstore::keepBackup(path, bytes);
        showDamaged();
        return;
    }
    if (document.rootName != QLatin1String("Auto-names")) {
        // Not a naming-rules file: nothing to say about it, but the save writes over it.
        xmlstore::keepBackup(path, bytes);
        return;
    }
    const QHash<QString, xmlstore::Element>& children = document.children;
    const xmlstore::Element options = children.value(QStringLiteral("options"));
    const std::optional<int32_t> count =
        options.isNull() || !options.hasAttribute(QStringLiteral("number"))
            ? std::nullopt
            : xmlstore::toInt32(options.attribute(QStringLiteral("number")));
    // The names are taken from the elements that are there, in their numbers' order, so that
    // neither a count too large nor one missing entry costs the others. Without a count that
    // reads, every entry is taken.
    bool damaged = !count || *count < 0;
    std::map<int32_t, QString> entries;
    for (auto it = children.cbegin(); it != children.cend(); ++it) {
        const QString& tag = it.key();
        if (!tag.startsWith(QLatin1String("name"))) {
            continue;
        }
        bool isNumber = false;
        const int32_t index = tag.mid(4).toInt(&isNumber);
        // "name01" was never written and was never read.
        if (!isNumber || index < 0 || tag.mid(4) != QString::number(index) ||
            (!damaged && index >= *count)) {
            continue;
        }
        if (!it.value().hasAttribute(QStringLiteral("string"))) {
            damaged = true;
            continue;
        }
        entries.emplace(index, it.value().attribute(QStringLiteral("string")));
    }
    if (!damaged && static_cast<int32_t>(entries.size()) != *count) {
        damaged = true;
    }
    for (const auto& [index, name] : entries) {
        namehistory.append(name);
    }
    if (damaged) {
        xmlstore::keepBackup(path, bytes);
        showDamaged();
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
