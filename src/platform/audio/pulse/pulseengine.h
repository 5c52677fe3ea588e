#pragma once

#include "platform/audio/audioplatform.h"

#include <QString>

#include <chrono>
#include <memory>

/// The audio engine over the PulseAudio client library (also serving PipeWire through
/// pipewire-pulse). Endpoints: every sink is an output endpoint ("sink:<name>"), every source
/// that is not a sink's monitor an input endpoint ("source:<name>"). Loopback of an output
/// endpoint records its sink's monitor source.
///
/// The engine connects to the default server (PULSE_SERVER applies, no server is ever
/// started) on the first CreateEnumerator, and again on a later one after the connection has
/// broken; AUDCLNT_E_SERVICE_NOT_RUNNING when no server answers within `connectTimeout`.
/// Enumerators, devices and clients keep that connection alive and work without the engine.
/// Device states: 1 active, 8 unplugged (its active port is known to be unplugged); 2
/// (disabled) never occurs, because a switched-off card has no devices to list. A device that
/// has vanished answers GetState (with state 4, not present), GetProperty and Activate with
/// AUDCLNT_E_DEVICE_INVALIDATED; GetId and GetDataFlow keep working. A capture stream that
/// fails answers AUDCLNT_E_SERVICE_NOT_RUNNING when the server went away, and
/// AUDCLNT_E_DEVICE_INVALIDATED when only its device did.
///
/// Threads: CreateEnumerator may be called on any thread at any time (it takes the engine's
/// mutex). Every other object follows the rules of audioplatform.h; none may be called
/// from inside a libpulse callback. Objects may be destroyed in any order, on any thread.
///
/// `fragment`: how much audio a capture stream gathers before it wakes the capture thread.
/// Each fragment wakes the capture thread and the window thread, so a program that shows
/// nothing live takes longer ones; a window whose meter and spectrum follow the sound needs
/// them short.
std::unique_ptr<audio::AudioEngine>
createPulseEngine(const QString& applicationName = QStringLiteral("Orvanta"),
                  std::chrono::milliseconds connectTimeout = std::chrono::seconds(5),
                  std::chrono::milliseconds fragment = std::chrono::milliseconds(100));
