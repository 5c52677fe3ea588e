#include "pulseendpoints.h"

#include <pulse/def.h>
#include <pulse/introspect.h>
#include <pulse/proplist.h>

#include <algorithm>
#include <bit>
#include <map>
#include <utility>

#include <unistd.h>

namespace audio::pulse {

namespace {

// Callbacks run on the main loop thread: they copy what they are given into the waiting
// caller's collector and never let an exception out into libpulse.
struct EndpointCollector {
    std::vector<EndpointInfo>* endpoints = nullptr;
    bool failed = false;
};

struct CardCollector {
    std::map<uint32_t, QString> names;
    bool failed = false;
};

struct DefaultsCollector {
    std::string sink;
    std::string source;
    bool failed = true;
};

template <typename PortInfo> uint32_t stateOf(const PortInfo* activePort) {
    // A port the server knows to be unplugged (headphones pulled out) is the one case of an
    // unavailable device that it still lists. Disabled devices do not occur: a card switched
    // off simply has no sinks or sources, so they cannot be listed at all.
    if (activePort && activePort->available == PA_PORT_AVAILABLE_NO) {
        return DEVICE_STATE_UNPLUGGED;
    }
    return DEVICE_STATE_ACTIVE;
}

QString textOf(const char* text) {
    return text ? QString::fromUtf8(text) : QString();
}

EndpointInfo fromSink(const pa_sink_info& info) {
    EndpointInfo endpoint;
    endpoint.kind = EndpointKind::Sink;
    endpoint.name = info.name ? info.name : "";
    endpoint.index = info.index;
    endpoint.description = textOf(info.description);
    endpoint.state = stateOf(info.active_port);
    endpoint.spec = info.sample_spec;
    endpoint.map = info.channel_map;
    endpoint.monitorSource = info.monitor_source_name ? info.monitor_source_name : "";
    endpoint.card = info.card;
    return endpoint;
}

EndpointInfo fromSource(const pa_source_info& info) {
    EndpointInfo endpoint;
    endpoint.kind = EndpointKind::Source;
    endpoint.name = info.name ? info.name : "";
    endpoint.index = info.index;
    endpoint.description = textOf(info.description);
    endpoint.state = stateOf(info.active_port);
    endpoint.spec = info.sample_spec;
    endpoint.map = info.channel_map;
    endpoint.isMonitor = info.monitor_of_sink != PA_INVALID_INDEX;
    endpoint.card = info.card;
    return endpoint;
}

// One callback for sink and source lists: collects each entry until the end of the list.
template <class Info, EndpointInfo (*convert)(const Info&)>
void onEndpoint(pa_context*, const Info* info, int eol, void* userdata) noexcept {
    auto* collector = static_cast<EndpointCollector*>(userdata);
    if (eol < 0) {
        collector->failed = true;
    } else if (eol == 0 && info) {
        try {
            collector->endpoints->push_back(convert(*info));
        } catch (...) {
            collector->failed = true;
        }
    }
}

constexpr auto onSink = &onEndpoint<pa_sink_info, fromSink>;
constexpr auto onSource = &onEndpoint<pa_source_info, fromSource>;

void onCard(pa_context*, const pa_card_info* info, int eol, void* userdata) noexcept {
    auto* collector = static_cast<CardCollector*>(userdata);
    if (eol < 0) {
        collector->failed = true;
    } else if (eol == 0 && info) {
        try {
            const char* description = pa_proplist_gets(info->proplist, PA_PROP_DEVICE_DESCRIPTION);
            collector->names[info->index] = textOf(description ? description : info->name);
        } catch (...) {
            collector->failed = true;
        }
    }
}

void onServer(pa_context*, const pa_server_info* info, void* userdata) noexcept {
    auto* collector = static_cast<DefaultsCollector*>(userdata);
    if (!info) {
        return;
    }
    try {
        collector->sink = info->default_sink_name ? info->default_sink_name : "";
        collector->source = info->default_source_name ? info->default_source_name : "";
        collector->failed = false;
    } catch (...) {
        collector->failed = true;
    }
}

void nameCards(std::vector<EndpointInfo>& endpoints, const std::map<uint32_t, QString>& cards) {
    for (EndpointInfo& endpoint : endpoints) {
        const auto card = cards.find(endpoint.card);
        endpoint.friendlyName =
            card != cards.end() && !card->second.isEmpty() ? card->second : endpoint.description;
    }
}

QueryResult failureOf(PulseConnection& connection) {
    if (!connection.isAlive()) {
        return QueryResult::Failed;
    }
    return pa_context_errno(connection.context()) == PA_ERR_NOENTITY ? QueryResult::NotFound
                                                                     : QueryResult::Failed;
}

} // namespace

QueryResult queryEndpoints(PulseConnection& connection, std::vector<EndpointInfo>* endpoints) {
    pa_context* context = connection.context();
    std::vector<EndpointInfo> sinks;
    std::vector<EndpointInfo> sources;
    EndpointCollector sinkCollector{&sinks};
    EndpointCollector sourceCollector{&sources};
    CardCollector cards;
    if (!connection.waitFor(
            OperationPtr(pa_context_get_sink_info_list(context, onSink, &sinkCollector))) ||
        !connection.waitFor(
            OperationPtr(pa_context_get_source_info_list(context, onSource, &sourceCollector))) ||
        !connection.waitFor(
            OperationPtr(pa_context_get_card_info_list(context, &onCard, &cards))) ||
        sinkCollector.failed || sourceCollector.failed || cards.failed) {
        return QueryResult::Failed;
    }
    const auto byIndex = [](const EndpointInfo& a, const EndpointInfo& b) {
        return a.index < b.index;
    };
    std::stable_sort(sinks.begin(), sinks.end(), byIndex);
    std::stable_sort(sources.begin(), sources.end(), byIndex);
    endpoints->clear();
    endpoints->insert(endpoints->end(), sinks.begin(), sinks.end());
    endpoints->insert(endpoints->end(), sources.begin(), sources.end());
    nameCards(*endpoints, cards.names);
    return QueryResult::Ok;
}

QueryResult queryEndpoint(PulseConnection& connection, EndpointKind kind, const std::string& name,
                          EndpointInfo* endpoint) {
    pa_context* context = connection.context();
    std::vector<EndpointInfo> found;
    EndpointCollector collector{&found};
    OperationPtr operation(
        kind == EndpointKind::Sink
            ? pa_context_get_sink_info_by_name(context, name.c_str(), onSink, &collector)
            : pa_context_get_source_info_by_name(context, name.c_str(), onSource, &collector));
    if (!connection.waitFor(std::move(operation))) {
        return QueryResult::Failed;
    }
    if (collector.failed || found.empty()) {
        return failureOf(connection);
    }
    CardCollector cards;
    if (found.front().card != PA_INVALID_INDEX &&
        (!connection.waitFor(OperationPtr(
             pa_context_get_card_info_by_index(context, found.front().card, &onCard, &cards))) ||
         (cards.failed && !connection.isAlive()))) {
        return QueryResult::Failed;
    }
    // A card that vanished in between only costs the card's name.
    nameCards(found, cards.names);
    *endpoint = found.front();
    return QueryResult::Ok;
}

namespace {

struct ApplicationCollector {
    std::vector<PlayingApplication>* applications = nullptr;
    std::vector<uint32_t> sinks; ///< the sink of each, by index
    bool failed = false;
};

void onSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* userdata) noexcept {
    auto* collector = static_cast<ApplicationCollector*>(userdata);
    if (eol < 0) {
        collector->failed = true;
        return;
    }
    if (eol != 0 || !info) {
        return;
    }
    try {
        const auto text = [&](const char* key) {
            return textOf(pa_proplist_gets(info->proplist, key));
        };
        PlayingApplication app;
        app.stream = info->index;
        app.name = text(PA_PROP_APPLICATION_NAME);
        app.binary = text(PA_PROP_APPLICATION_PROCESS_BINARY);
        app.iconName = text(PA_PROP_APPLICATION_ICON_NAME);
        app.mediaName = text(PA_PROP_MEDIA_NAME);
        app.pid = text(PA_PROP_APPLICATION_PROCESS_ID).toLongLong();
        app.corked = info->corked != 0;
        // Our own streams (the silence that keeps the output going) are no application to
        // record.
        if (app.pid != 0 && app.pid == static_cast<int64_t>(getpid())) {
            return;
        }
        collector->applications->push_back(std::move(app));
        collector->sinks.push_back(info->sink);
    } catch (...) {
        collector->failed = true;
    }
}

} // namespace

QueryResult queryPlayingApplications(PulseConnection& connection,
                                     std::vector<PlayingApplication>* applications) {
    applications->clear();
    ApplicationCollector collector{applications, {}, false};
    if (!connection.waitFor(OperationPtr(
            pa_context_get_sink_input_info_list(connection.context(), &onSinkInput, &collector))) ||
        collector.failed) {
        return QueryResult::Failed;
    }
    std::vector<EndpointInfo> endpoints;
    if (queryEndpoints(connection, &endpoints) != QueryResult::Ok) {
        return QueryResult::Failed;
    }
    for (size_t i = 0; i < applications->size(); ++i) {
        for (const EndpointInfo& e : endpoints) {
            if (e.kind == EndpointKind::Sink && e.index == collector.sinks[i]) {
                (*applications)[i].outputId = endpointId(EndpointKind::Sink, e.name);
            }
        }
    }
    return QueryResult::Ok;
}

QueryResult queryDefaults(PulseConnection& connection, std::string* sink, std::string* source) {
    DefaultsCollector collector;
    if (!connection.waitFor(OperationPtr(
            pa_context_get_server_info(connection.context(), &onServer, &collector))) ||
        collector.failed) {
        return QueryResult::Failed;
    }
    *sink = collector.sink;
    *source = collector.source;
    return QueryResult::Ok;
}

QString endpointId(EndpointKind kind, const std::string& name) {
    return (kind == EndpointKind::Sink ? QStringLiteral("sink:") : QStringLiteral("source:")) +
           QString::fromStdString(name);
}

std::optional<ParsedId> parseEndpointId(const QString& id) {
    static const QString sinkPrefix = QStringLiteral("sink:");
    static const QString sourcePrefix = QStringLiteral("source:");
    if (id.startsWith(sinkPrefix) && id.size() > sinkPrefix.size()) {
        return ParsedId{EndpointKind::Sink, id.mid(sinkPrefix.size()).toStdString()};
    }
    if (id.startsWith(sourcePrefix) && id.size() > sourcePrefix.size()) {
        return ParsedId{EndpointKind::Source, id.mid(sourcePrefix.size()).toStdString()};
    }
    return std::nullopt;
}

namespace {

// The speaker bit of each position that has one, in the order of the bits.
constexpr std::pair<pa_channel_position_t, uint32_t> SpeakerBits[] = {
    {PA_CHANNEL_POSITION_FRONT_LEFT, SPEAKER_FRONT_LEFT},
    {PA_CHANNEL_POSITION_FRONT_RIGHT, SPEAKER_FRONT_RIGHT},
    {PA_CHANNEL_POSITION_FRONT_CENTER, SPEAKER_FRONT_CENTER},
    {PA_CHANNEL_POSITION_LFE, SPEAKER_LOW_FREQUENCY},
    {PA_CHANNEL_POSITION_REAR_LEFT, SPEAKER_BACK_LEFT},
    {PA_CHANNEL_POSITION_REAR_RIGHT, SPEAKER_BACK_RIGHT},
    {PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER, SPEAKER_FRONT_LEFT_OF_CENTER},
    {PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER, SPEAKER_FRONT_RIGHT_OF_CENTER},
    {PA_CHANNEL_POSITION_REAR_CENTER, SPEAKER_BACK_CENTER},
    {PA_CHANNEL_POSITION_SIDE_LEFT, SPEAKER_SIDE_LEFT},
    {PA_CHANNEL_POSITION_SIDE_RIGHT, SPEAKER_SIDE_RIGHT},
    {PA_CHANNEL_POSITION_TOP_CENTER, SPEAKER_TOP_CENTER},
    {PA_CHANNEL_POSITION_TOP_FRONT_LEFT, SPEAKER_TOP_FRONT_LEFT},
    {PA_CHANNEL_POSITION_TOP_FRONT_CENTER, SPEAKER_TOP_FRONT_CENTER},
    {PA_CHANNEL_POSITION_TOP_FRONT_RIGHT, SPEAKER_TOP_FRONT_RIGHT},
    {PA_CHANNEL_POSITION_TOP_REAR_LEFT, SPEAKER_TOP_BACK_LEFT},
    {PA_CHANNEL_POSITION_TOP_REAR_CENTER, SPEAKER_TOP_BACK_CENTER},
    {PA_CHANNEL_POSITION_TOP_REAR_RIGHT, SPEAKER_TOP_BACK_RIGHT},
};

uint32_t speakerBitOf(pa_channel_position_t position) {
    // A mono device's single channel is the centre speaker, as mono formats declare it.
    if (position == PA_CHANNEL_POSITION_MONO) {
        return SPEAKER_FRONT_CENTER;
    }
    for (const auto& [pulse, bit] : SpeakerBits) {
        if (pulse == position) {
            return bit;
        }
    }
    return 0; // the auxiliary positions
}

} // namespace

uint32_t channelMaskOf(const pa_channel_map& map) {
    uint32_t mask = 0;
    for (unsigned i = 0; i < map.channels && i < PA_CHANNELS_MAX; ++i) {
        mask |= speakerBitOf(map.map[i]);
    }
    return mask;
}

pa_channel_map inMaskOrder(const pa_channel_map& map) {
    // Each channel's key is its speaker bit; a position without one, or one that came
    // before, goes after all speakers, in the device's order.
    const unsigned channels = std::min<unsigned>(map.channels, PA_CHANNELS_MAX);
    std::vector<std::pair<uint64_t, pa_channel_position_t>> keyed;
    uint32_t seen = 0;
    for (unsigned i = 0; i < channels; ++i) {
        const uint32_t bit = speakerBitOf(map.map[i]);
        const bool speaker = bit != 0 && (seen & bit) == 0;
        seen |= bit;
        keyed.emplace_back(speaker ? bit : (uint64_t{1} << 32) + i, map.map[i]);
    }
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    pa_channel_map ordered = map;
    for (unsigned i = 0; i < channels; ++i) {
        ordered.map[i] = keyed[i].second;
    }
    return ordered;
}

bool channelMapOfMask(uint32_t mask, unsigned channels, pa_channel_map* map) {
    if (channels == 0 || channels > PA_CHANNELS_MAX ||
        static_cast<unsigned>(std::popcount(mask)) != channels) {
        return false;
    }
    pa_channel_map_init(map);
    map->channels = static_cast<uint8_t>(channels);
    unsigned c = 0;
    for (const auto& [pulse, bit] : SpeakerBits) {
        if (mask & bit) {
            map->map[c++] = pulse;
        }
    }
    return c == channels; // false when some bits name no speaker
}

WaveFormatExtensible mixFormatOf(const EndpointInfo& endpoint) {
    WaveFormatExtensible format;
    const uint16_t channels = endpoint.spec.channels;
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = channels;
    format.Format.nSamplesPerSec = endpoint.spec.rate;
    format.Format.wBitsPerSample = 32;
    format.Format.nBlockAlign = static_cast<uint16_t>(channels * 4);
    format.Format.nAvgBytesPerSec = endpoint.spec.rate * format.Format.nBlockAlign;
    format.Format.cbSize = 22;
    format.wValidBitsPerSample = 32;
    format.dwChannelMask = channelMaskOf(endpoint.map);
    format.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return format;
}

} // namespace audio::pulse
