#pragma once

#include "platform/audio/audioplatform.h"
#include "pulseconnection.h"
#include "pulseendpoints.h"

#include <memory>
#include <string>

/// The audio client of one endpoint and the services made from it (capture client, render
/// client, simple volume).
///
/// Threads and locks: an audio client is used by one thread at a time, which may change
/// (the window thread initialises it, the capture thread starts it). Its services may be
/// used on another thread at the same time as the client; they share the stream, whose
/// every call takes the connection's lock itself. Call nothing with that lock held. Objects
/// may be destroyed in any order and on any thread: each holds what it needs.
namespace audio::pulse {

std::unique_ptr<IAudioClient> createAudioClient(std::shared_ptr<PulseConnection> connection,
                                                EndpointKind kind, std::string name);

} // namespace audio::pulse
