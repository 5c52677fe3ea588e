#include "playthread.h"

#include "enginecalls.h"

#include <algorithm>
#include <cstring>

using namespace audio;

namespace {

constexpr int64_t RenderBufferDuration = 20000000; // 2 s in 100-ns units

} // namespace

TPlayThread::TPlayThread(WindowThreadHandoff& handoff, AudioEngine& engine)
    : RenderThread(handoff), m_engine(engine) {}

TPlayThread::~TPlayThread() {
    // The body uses this object's members, which are gone once the base destructor waits.
    stopAndWait();
}

void TPlayThread::Init() {
    try {
        started = 0;
        pWfx = WaveFormatExtensible();
        hnsRequestedDuration = RenderBufferDuration;
        hr = handedOut(m_engine.CreateEnumerator(&pEnumerator), pEnumerator);
        if (failed(hr)) {
            started = hr;
            return;
        }
        hr = handedOut(pEnumerator->GetDevice(card, &pDevice), pDevice);
        if (failed(hr)) {
            started = hr;
            return;
        }
        InitAudioClient();
    } catch (...) {
        handleException(std::current_exception());
    }
}

int32_t TPlayThread::InitAudioClient() {
    const auto fail = [this](HRESULT status) {
        hr = status;
        started = status;
        return status;
    };
    // A rebuild replaces the stream; the old one goes first.
    pRenderClient.reset();
    pAudioClient.reset();

    hr = handedOut(pDevice->Activate(&pAudioClient), pAudioClient);
    if (failed(hr)) {
        pAudioClient.reset();
        return fail(hr);
    }
    hr = pAudioClient->GetMixFormat(&pWfx);
    if (failed(hr))
        return fail(hr);
    hr = pAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, hnsRequestedDuration, 0, pWfx);
    if (failed(hr))
        return fail(hr);
    hr = pAudioClient->GetBufferSize(&BufferFrameCount);
    if (failed(hr))
        return fail(hr);
    hr = handedOut(pAudioClient->GetRenderClient(&pRenderClient), pRenderClient);
    if (failed(hr))
        return fail(hr);

    // Queue a whole buffer of silence before the stream starts.
    uint8_t* pData = nullptr;
    hr = pRenderClient->GetBuffer(BufferFrameCount, &pData);
    if (failed(hr))
        return fail(hr);
    if (pData && BufferFrameCount > 0)
        std::memset(pData, 0, size_t{BufferFrameCount} * pWfx.Format.nBlockAlign);
    hr = pRenderClient->ReleaseBuffer(BufferFrameCount, 0);
    if (failed(hr))
        return fail(hr);

    // A mix format without a rate cannot be played; it would also divide by zero here.
    if (pWfx.Format.nSamplesPerSec == 0)
        return fail(AUDCLNT_E_UNSUPPORTED_FORMAT);
    hnsActualDuration = int64_t{10000000} * BufferFrameCount / pWfx.Format.nSamplesPerSec;
    // A third of the buffer: the server asks for more only when a good part of it has been
    // played, and a shorter pause would mostly find nothing to write.
    m_sleeptime = static_cast<uint32_t>(hnsActualDuration / 10000 / 3);
    return 0;
}

void TPlayThread::execute() {
    if (started != 0)
        return;
    if (!pAudioClient || !pRenderClient) {
        // Init was cut short by an exception (already shown).
        started = AUDCLNT_E_NOT_INITIALIZED;
        return;
    }
    hr = pAudioClient->Start();
    if (failed(hr)) {
        started = hr;
        return;
    }
    const auto fail = [this](HRESULT status) {
        hr = status;
        started = status;
    };

    // A buffer under 3 ms would make the pause 0 and the loop spin.
    while (!sleepFor(static_cast<int>(std::max<uint32_t>(m_sleeptime, 1)))) {
        uint32_t numFramesPadding = 0;
        hr = pAudioClient->GetCurrentPadding(&numFramesPadding);
        if (failed(hr)) {
            if (hr != AUDCLNT_E_DEVICE_INVALIDATED)
                return fail(hr);
            // The endpoint was reconfigured (a format or device change): rebuild the stream
            // on the same device, once for this occurrence.
            if (InitAudioClient() != 0)
                return;
            hr = pAudioClient->Start();
            if (failed(hr))
                return fail(hr);
            hr = pAudioClient->GetCurrentPadding(&numFramesPadding);
            if (failed(hr))
                return fail(hr);
        }
        const uint32_t NumFramesAvailable =
            BufferFrameCount - std::min(numFramesPadding, BufferFrameCount);
        uint8_t* pData = nullptr;
        hr = pRenderClient->GetBuffer(NumFramesAvailable, &pData);
        if (failed(hr))
            return fail(hr);
        if (pData && NumFramesAvailable > 0)
            std::memset(pData, 0, size_t{NumFramesAvailable} * pWfx.Format.nBlockAlign);
        hr = pRenderClient->ReleaseBuffer(NumFramesAvailable, 0);
        if (failed(hr))
            return fail(hr);
    }
    pAudioClient->Stop();
}
