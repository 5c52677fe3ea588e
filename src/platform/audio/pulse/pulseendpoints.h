#pragma once

#include "platform/audio/audioplatform.h"
#include "pulseconnection.h"

#include <pulse/channelmap.h>
#include <pulse/sample.h>

#include <QString>

#include <optional>
#include <string>
#include <vector>

/// What the server knows about sinks (output endpoints) and sources (input endpoints), read
/// in one go and copied, so that nothing points into libpulse's memory afterwards.
///
/// Threads and locks: every query function must be called with the connection's lock held
/// exactly once (they wait for the server's answer). The pure functions need no lock.
namespace audio::pulse {

enum class EndpointKind { Sink, Source };

struct EndpointInfo {
    EndpointKind kind = EndpointKind::Sink;
    std::string name;
    uint32_t index = 0;
    QString description;
    /// The card's description, or the device's own description where it has no card.
    QString friendlyName;
    uint32_t state = DEVICE_STATE_ACTIVE;
    pa_sample_spec spec{};
    pa_channel_map map{};
    /// Sinks: the name of the monitor source that loopback records from.
    std::string monitorSource;
    /// Sources: true for a sink's monitor, which is not an endpoint of its own.
    bool isMonitor = false;
    uint32_t card = 0;
};

enum class QueryResult { Ok, NotFound, Failed };

/// All sinks by index, then all sources by index (monitors included; callers filter them).
QueryResult queryEndpoints(PulseConnection& connection, std::vector<EndpointInfo>* endpoints);
/// One device by kind and name.
QueryResult queryEndpoint(PulseConnection& connection, EndpointKind kind, const std::string& name,
                          EndpointInfo* endpoint);
/// The streams of other processes playing on sinks (sink inputs), with their sinks' ids.
QueryResult queryPlayingApplications(PulseConnection& connection,
                                     std::vector<PlayingApplication>* applications);
/// The server's default sink and source names (empty when there is none).
QueryResult queryDefaults(PulseConnection& connection, std::string* sink, std::string* source);

/// "sink:<name>" or "source:<name>".
QString endpointId(EndpointKind kind, const std::string& name);
struct ParsedId {
    EndpointKind kind;
    std::string name;
};
std::optional<ParsedId> parseEndpointId(const QString& id);

/// The extensible float32 format at the device's own rate and channel count.
WaveFormatExtensible mixFormatOf(const EndpointInfo& endpoint);
/// The speaker mask of a channel map (positions without a speaker bit count 0).
uint32_t channelMaskOf(const pa_channel_map& map);
/// The same positions in the order the speaker mask gives channels (the order of their
/// bits); positions without a bit of their own follow in the map's order. A stream with it
/// gets the device's channels reordered, never mixed.
pa_channel_map inMaskOrder(const pa_channel_map& map);
/// The map of the speakers of a mask, in the order of the bits; false when the mask does not
/// name exactly `channels` speakers.
bool channelMapOfMask(uint32_t mask, unsigned channels, pa_channel_map* map);

} // namespace audio::pulse
