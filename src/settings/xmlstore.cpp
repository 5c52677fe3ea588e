#include "settings/xmlstore.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QXmlStreamReader>

#include <algorithm>

namespace xmlstore {

namespace {

// Our files are a few kilobytes: the events file, the largest, holds at most 102 elements of
// about 20 attributes each, the naming rules one element per name. The limits keep a damaged
// or hostile file from taking the start-up's time or memory: reading is linear in the size
// (about 40 ms for a full megabyte), and the size is bounded.
constexpr qint64 MaxFileBytes = 1024 * 1024;
constexpr int MaxElements = 10000;
constexpr int MaxAttributes = 64;

// Counts the elements and the attributes of each start tag straight from the bytes, before
// the XML reader sees them: Qt's reader compares each attribute of a tag with all those
// before it (Qt 6.4), so one tag of 100,000 attributes took half a minute. A document type
// declaration is refused, since its entities could expand into more markup. Where the text is
// not well-formed the count may be off, but only after the point where the reader stops.
QString checkMarkup(const QByteArray& bytes) {
    const qsizetype size = bytes.size();
    const auto skipPast = [&bytes, size](qsizetype from, const char* end) {
        const qsizetype at = bytes.indexOf(end, from);
        return at < 0 ? size : at + qsizetype(qstrlen(end));
    };
    const auto at = [&bytes](qsizetype offset, const QString& problem) {
        return QStringLiteral("line %1: %2").arg(bytes.left(offset).count('\n') + 1).arg(problem);
    };
    int elements = 0;
    for (qsizetype i = bytes.indexOf('<'); i >= 0 && i < size; i = bytes.indexOf('<', i)) {
        const QByteArrayView tag = QByteArrayView(bytes).sliced(i);
        if (tag.startsWith("<!--")) {
            i = skipPast(i + 4, "-->");
        } else if (tag.startsWith("<![CDATA[")) {
            i = skipPast(i + 9, "]]>");
        } else if (tag.startsWith("<?")) {
            i = skipPast(i + 2, "?>");
        } else if (tag.startsWith("<!")) {
            return at(i, QStringLiteral("a document type declaration is not allowed"));
        } else if (tag.startsWith("</")) {
            i = skipPast(i + 2, ">");
        } else {
            if (++elements > MaxElements) {
                return at(i, QStringLiteral("more than %1 elements").arg(MaxElements));
            }
            int attributes = 0;
            char quote = 0;
            qsizetype end = i + 1;
            for (; end < size; ++end) {
                const char c = bytes.at(end);
                if (quote != 0) {
                    if (c == quote) {
                        quote = 0;
                    }
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '=') {
                    if (++attributes > MaxAttributes) {
                        return at(i, QStringLiteral("an element has more than %1 attributes")
                                         .arg(MaxAttributes));
                    }
                } else if (c == '>') {
                    break;
                }
            }
            i = end + 1;
        }
    }
    return {};
}

} // namespace

std::optional<QByteArray> readFile(const QString& path, QString& problem) {
    // A pipe or a device would block the start or never end.
    if (!QFileInfo(path).isFile()) {
        problem = QFileInfo::exists(path) ? QStringLiteral("not a regular file")
                                          : QStringLiteral("the file does not exist");
        return std::nullopt;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return std::nullopt;
    }
    const QString tooLarge = QStringLiteral("the file is larger than %1 bytes").arg(MaxFileBytes);
    if (file.size() > MaxFileBytes) {
        problem = tooLarge;
        return std::nullopt;
    }
    // Read in pieces rather than with one read of the limit, which would allocate the whole
    // limit for every small file; the size may have changed since it was asked.
    QByteArray bytes;
    while (!file.atEnd()) {
        const QByteArray piece = file.read(64 * 1024);
        if (piece.isEmpty()) {
            break;
        }
        bytes += piece;
        if (bytes.size() > MaxFileBytes) {
            problem = tooLarge;
            return std::nullopt;
        }
    }
    return bytes;
}

QString parseDocument(const QByteArray& bytes, Document& document) {
    if (const QString problem = checkMarkup(bytes); !problem.isEmpty()) {
        return problem;
    }
    document = Document{};
    QXmlStreamReader reader(bytes);
    // Our files use no namespaces; resolving prefixes would cost a search per name.
    reader.setNamespaceProcessing(false);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
        } else if (token == QXmlStreamReader::StartElement && ++depth <= 2) {
            const QString name = reader.qualifiedName().toString();
            if (depth == 1) {
                document.rootName = name;
            } else if (!document.children.contains(name)) {
                const QXmlStreamAttributes& read = reader.attributes();
                Element::Attributes attributes;
                attributes.reserve(size_t(read.size()));
                for (const QXmlStreamAttribute& attribute : read) {
                    attributes.emplace_back(attribute.qualifiedName().toString(),
                                            attribute.value().toString());
                }
                document.children.insert(name, Element(name, std::move(attributes)));
            }
        }
    }
    if (reader.hasError()) {
        document = Document{};
        return QStringLiteral("line %1, column %2: %3")
            .arg(reader.lineNumber())
            .arg(reader.columnNumber())
            .arg(reader.errorString());
    }
    return {};
}

QString readDocument(const QString& path, Document& document) {
    QString problem;
    const std::optional<QByteArray> bytes = readFile(path, problem);
    return bytes ? parseDocument(*bytes, document) : problem;
}

void keepBackup(const QString& path, const std::optional<QByteArray>& bytes) {
    const QString backup = path + QStringLiteral(".bak");
    QString problem;
    if (bytes) {
        problem = writeFileAtomically(backup, *bytes);
    } else {
        QFile::remove(backup);
        if (QFile file(path); !file.rename(backup)) {
            problem = file.errorString();
        }
    }
    if (!problem.isEmpty()) {
        qWarning("Could not keep the damaged file %s as %s: %s", qUtf8Printable(path),
                 qUtf8Printable(backup), qUtf8Printable(problem));
    }
}

Element::Element(QString tagName, Attributes attributes)
    : m_tagName(std::move(tagName)), m_attributes(std::move(attributes)) {}

bool Element::hasAttribute(const QString& name) const {
    return std::any_of(m_attributes.begin(), m_attributes.end(),
                       [&name](const auto& attribute) { return attribute.first == name; });
}

QString Element::attribute(const QString& name) const {
    for (const auto& [key, value] : m_attributes) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

DocumentWriter::DocumentWriter(const QString& rootName) : m_writer(&m_bytes) {
    m_writer.setAutoFormatting(true);
    m_writer.setAutoFormattingIndent(2);
    m_writer.writeStartDocument();
    m_writer.writeStartElement(rootName);
}

void DocumentWriter::addElement(const QString& name, const Attributes& attributes) {
    m_writer.writeEmptyElement(name);
    for (const auto& [attribute, value] : attributes) {
        m_writer.writeAttribute(attribute, xmlSafe(value));
    }
}

QByteArray DocumentWriter::finish() {
    m_writer.writeEndElement();
    m_writer.writeEndDocument();
    return m_bytes;
}

QString writeFileAtomically(const QString& path, const QByteArray& bytes) {
    QSaveFile file(path);
    // Unbuffered, because Qt 6.4 takes a short write while flushing its buffer (a full disk,
    // or the file size limit) as success, and commit() then renames a truncated file into
    // place. Written directly, the short write shows, and the next write reports the error.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return file.errorString();
    }
    qint64 written = 0;
    while (written < bytes.size()) {
        const qint64 chunk = file.write(bytes.constData() + written, bytes.size() - written);
        if (chunk <= 0) {
            const QString reason = file.errorString();
            file.cancelWriting();
            return reason;
        }
        written += chunk;
    }
    // commit() flushes, syncs and renames; on failure it removes the temporary file.
    if (!file.commit()) {
        return file.errorString();
    }
    return {};
}

QString xmlSafe(const QString& text) {
    QString safe;
    safe.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        const char16_t u = c.unicode();
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            safe.append(c);
            safe.append(text.at(++i));
            continue;
        }
        const bool allowedControl = u == 0x09 || u == 0x0a || u == 0x0d;
        if ((u < 0x20 && !allowedControl) || c.isSurrogate() || u == 0xfffe || u == 0xffff) {
            continue;
        }
        safe.append(c);
    }
    return safe;
}

std::optional<int32_t> toInt32(const QString& text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok) {
        return std::nullopt;
    }
    return static_cast<int32_t>(value);
}

std::optional<bool> toBool(const QString& text) {
    if (text.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    if (text.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    if (const std::optional<int32_t> number = toInt32(text)) {
        return *number != 0;
    }
    return std::nullopt;
}

} // namespace xmlstore
