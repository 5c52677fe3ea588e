#pragma once

// Helpers shared by the three stored files (settings, events, naming rules). Internal to the
// settings library. Window thread only, like the files' loaders and writers.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QXmlStreamWriter>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace xmlstore {

/// One element of a stored file as the loaders see it: its name and attributes.
class Element {
public:
    using Attributes = std::vector<std::pair<QString, QString>>;

    Element() = default;
    Element(QString tagName, Attributes attributes);

    /// True for the element that a lookup of a missing one gives.
    bool isNull() const { return m_tagName.isEmpty(); }
    const QString& tagName() const { return m_tagName; }
    bool hasAttribute(const QString& name) const;
    /// The attribute's value; an empty text when there is none.
    QString attribute(const QString& name) const;

private:
    // A list, not a hash: an element has a few attributes, and the naming rules' thousands of
    // elements would each cost a hash's allocations.
    QString m_tagName;
    Attributes m_attributes;
};

/// A stored file as the loaders see it: the root's name and the root's child elements by tag
/// name, the first of several with one name winning. Deeper elements and text are not kept:
/// no file of ours has any that the program reads.
struct Document {
    QString rootName;
    QHash<QString, Element> children;
};

/// The bytes of the file at `path`, or nothing when it is missing, unreadable, not a regular
/// file or larger than any file of ours; then `problem` says which.
std::optional<QByteArray> readFile(const QString& path, QString& problem);

/// Parses `bytes` into `document`. Returns an empty text on success, otherwise what is wrong
/// (more elements, attributes or nesting than any file of ours holds, a document type
/// declaration, not well-formed). The work grows with the size of the text, no faster.
QString parseDocument(const QByteArray& bytes, Document& document);

/// readFile and parseDocument in one.
QString readDocument(const QString& path, Document& document);

/// Keeps a damaged file as "<path>.bak", replacing an older backup, before a save writes over
/// it. `bytes` is the file's content as read, written there atomically so that the file stays
/// where it is; a file that could not be read is moved there instead. A failure is written
/// to standard error.
void keepBackup(const QString& path, const std::optional<QByteArray>& bytes);

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
