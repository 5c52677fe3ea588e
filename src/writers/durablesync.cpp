#include "durablesync.h"

#include <cstring>

void DurableSync::attach(int fd, uint64_t bytesPerSecond) {
    finish();
    m_ticket = FileSyncer::instance().attach(fd);
    m_bytesPerSecond = bytesPerSecond > 0 ? bytesPerSecond : 1;
    m_counted = 0;
}

bool DurableSync::secondPassed(uint64_t bytes) {
    m_counted += bytes;
    if (m_counted < m_bytesPerSecond)
        return false;
    // What lies beyond the second counts towards the next one; a block of several seconds
    // still asks once.
    m_counted %= m_bytesPerSecond;
    return true;
}

void DurableSync::request() {
    if (m_ticket != 0)
        FileSyncer::instance().request(m_ticket);
}

void DurableSync::finish() {
    if (m_ticket != 0)
        FileSyncer::instance().detach(m_ticket, FileSyncer::FinalSync::Yes);
    m_ticket = 0;
}

QString DurableSync::finishAndWait() {
    if (m_ticket == 0)
        return {};
    const int error = FileSyncer::instance().detachAndWait(m_ticket, FinalSyncWait);
    m_ticket = 0;
    if (error == 0)
        return {};
    return QStringLiteral("The disk reported an error while storing it: %1")
        .arg(QString::fromLocal8Bit(std::strerror(error)));
}

QString DurableSync::failure(const QString& name) const {
    const int error = m_ticket != 0 ? FileSyncer::instance().error(m_ticket) : 0;
    if (error == 0)
        return {};
    return QStringLiteral("The disk reported an error while storing the recording %1 (%2). "
                          "The recording is incomplete; please check the disk and record "
                          "to another one.")
        .arg(name, QString::fromLocal8Bit(std::strerror(error)));
}
