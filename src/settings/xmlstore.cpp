#include "settings/xmlstore.h"

#include <QDomDocument>
#include <QFile>
#include <QSaveFile>
#include <QXmlStreamReader>

namespace xmlstore {

namespace {

// Our files are a few kilobytes; the limits only keep a damaged or hostile file from
// exhausting memory or, through deep nesting, the stack of the DOM's recursive clean-up.
constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;
constexpr int MaxDepth = 32;

// Checks well-formedness and nesting depth with the streaming reader before the DOM sees
// the text, because the DOM builds and destroys its tree recursively.
QString checkShape(const QByteArray& bytes) {
    QXmlStreamReader reader(bytes);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement) {
            if (++depth > MaxDepth) {
                return QStringLiteral("line %1: elements are nested too deeply")
                    .arg(reader.lineNumber());
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    if (reader.hasError()) {
        return QStringLiteral("line %1, column %2: %3")
            .arg(reader.lineNumber())
            .arg(reader.columnNumber())
            .arg(reader.errorString());
    }
    return {};
}

} // namespace

QString readDocument(const QString& path, QDomDocument& document) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return file.errorString();
    }
    if (file.size() > MaxFileBytes) {
        return QStringLiteral("the file is too large");
    }
    // Read in pieces rather than with one read of the limit, which would allocate the whole
    // limit for every small file.
    QByteArray bytes;
    while (!file.atEnd()) {
        const QByteArray piece = file.read(64 * 1024);
        if (piece.isEmpty()) {
            break;
        }
        bytes += piece;
        if (bytes.size() > MaxFileBytes) {
            return QStringLiteral("the file is too large");
        }
    }
    if (const QString problem = checkShape(bytes); !problem.isEmpty()) {
        return problem;
    }
    QString message;
    int line = 0;
    int column = 0;
    if (!document.setContent(bytes, &message, &line, &column)) {
        return QStringLiteral("line %1, column %2: %3").arg(line).arg(column).arg(message);
    }
    return {};
}

QHash<QString, QDomElement> childrenByName(const QDomElement& parent) {
    QHash<QString, QDomElement> children;
    for (QDomElement child = parent.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (!children.contains(child.tagName())) {
            children.insert(child.tagName(), child);
        }
    }
    return children;
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
