#include "audiowriter.h"

#include <stdexcept>

TAudioWriter::~TAudioWriter() {
    // The derived destructor has finished the file by now, so the handler sees it complete.
    // Nothing may leave a destructor; a failing handler has no one to report to here.
    if (onFinished) {
        try {
            onFinished(*this, fname);
        } catch (...) {
        }
    }
}

QString TAudioWriter::close() {
    if (!m_closed) {
        m_closed = true;
        try {
            m_closeResult = finishFile();
        } catch (const std::exception& e) {
            m_closeResult = QString::fromUtf8(e.what());
        } catch (...) {
            m_closeResult = QStringLiteral("An unknown error ended the file.");
        }
        // The file is complete: the browsers may change it from now on.
        m_lock.release();
    }
    return m_closeResult;
}

void TAudioWriter::lockOutput(const QString& path) {
    // A file that cannot even be opened is left for the writer's own open to report in its
    // own words.
    if (m_lock.acquire(path) == RecordingLock::Result::Busy)
        throw EMakerError(
            QStringLiteral("The file \"%1\" is being recorded by another recording.").arg(path),
            -1);
}
