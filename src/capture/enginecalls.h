#pragma once

#include "platform/audio/audioplatform.h"

#include <memory>

/// The status of an engine call that hands out an object. A call that reports success
/// without handing it out is a fault of the engine; it counts as E_POINTER rather than
/// being dereferenced later. The object is looked at only after the call has run. Any
/// thread.
template <typename T>
audio::HRESULT handedOut(audio::HRESULT status, const std::unique_ptr<T>& object) {
    if (audio::failed(status))
        return status;
    return object ? status : audio::E_POINTER;
}
