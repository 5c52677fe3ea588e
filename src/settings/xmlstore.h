#pragma once

// Helpers shared by the three stored files (settings, events, naming rules). Internal to the
// settings library. Window thread only, like the files' loaders and writers.

#include <QByteArray>
#include <QDomElement>
#include <QHash>
#include <QString>
#include <QXmlStreamWriter>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace xmlstore {

/// Reads the file at `path` into `document`. Returns an empty text on success, otherwise
/// what is wrong (missing, unreadable, too large, too deeply nested, not well-formed).
QString readDocument(const QString& path, QDomDocument& document);

/// The child elements of `parent` by tag name; the first of several with one name wins.
QHash<QString, QDomElement> childrenByName(const QDomElement& parent);

/// An XML document built element by element, in the order the caller adds them, with the
/// attributes in the order given. Each element goes on its own line, indented.
class DocumentWriter {
public:
    using Attributes = std::vector<std::pair<QString, QString>>;

    explicit DocumentWriter(const QString& rootName);
    void addElement(const QString& name, const Attributes& attributes);
    /// Closes the root and returns the UTF-8 text of the document.
    QByteArray finish();

private:
    QByteArray m_bytes;
    QXmlStreamWriter m_writer;
};

/// Writes `bytes` to `path` through a temporary file in the same folder and an atomic
/// rename, so that a failure leaves any previous file untouched. Returns an empty text on
/// success, otherwise the reason.
QString writeFileAtomically(const QString& path, const QByteArray& bytes);

/// Drops the characters that XML 1.0 cannot carry (most control characters, lone
/// surrogates, U+FFFE and U+FFFF). Tab, line feed and carriage return stay.
QString xmlSafe(const QString& text);

/// A decimal 32-bit integer with an optional sign; nothing when the text is not one.
std::optional<int32_t> toInt32(const QString& text);

/// "1"/"0", "true"/"false" in any letter case, or any decimal integer (non-zero is true).
std::optional<bool> toBool(const QString& text);

inline QString fromBool(bool value) {
    return value ? QStringLiteral("1") : QStringLiteral("0");
}

} // namespace xmlstore
