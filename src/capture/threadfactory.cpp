#include "threadfactory.h"

#include "inputrecordthread.h"
#include "playthread.h"

std::unique_ptr<CaptureThread>
AudioThreadFactory::createCaptureThread(TWASAPISource& owner, const TDataEvent& event,
                                        const tWAVEFORMATEX& format) {
    return std::make_unique<TInputRecordThread>(m_handoff, owner, event, format, m_engine);
}

std::unique_ptr<RenderThread> AudioThreadFactory::createRenderThread(TWASAPISource&) {
    return std::make_unique<TPlayThread>(m_handoff, m_engine);
}
