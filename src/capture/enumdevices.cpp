#include "wasapisource.h"

#include "platform/audio/audioplatform.h"

#include <stdexcept>
#include <string>

using namespace audio;

namespace {

// Runs one step of the enumeration; whatever it throws becomes the step's own text. The
// statuses inside a step are not examined unless the step says so.
template <typename Step> void group(const std::string& failure, Step&& step) {
    try {
        step();
    } catch (...) {
        throw std::runtime_error(failure);
    }
}

TWASAPIDevices& endpointsOf(TWASAPIDevice& card) {
    if (!card.inputs)
        throw std::logic_error("a card without its endpoint list");
    return *card.inputs;
}

} // namespace

void TWASAPISource::enumdevices() {
    std::unique_ptr<IMMDeviceEnumerator> enumerator;
    HRESULT status = E_POINTER;
    try {
        if (m_engine)
            status = m_engine->CreateEnumerator(&enumerator);
    } catch (...) {
        status = E_FAIL;
    }
    if (failed(status) || !enumerator)
        throw std::runtime_error("CoCreateInstance::MMDeviceEnumerator Failed");

    defaultinput = 0;
    defaultcard = 0;

    std::vector<std::unique_ptr<IMMDevice>> devices;
    try {
        // Active, disabled and unplugged; endpoints that are not present are left out.
        status = enumerator->EnumAudioEndpoints(
            eAll, DEVICE_STATE_ACTIVE | DEVICE_STATE_DISABLED | DEVICE_STATE_UNPLUGGED, &devices);
    } catch (...) {
        status = E_FAIL;
    }
    if (failed(status))
        throw std::runtime_error("EnumAudioEndpoints Failed");

    for (const std::unique_ptr<IMMDevice>& endpoint : devices) {
        if (!endpoint)
            continue;
        QString id;
        int dataFlow = 0;
        uint32_t state = 0;
        QString cardName;
        QString endpointName;
        group("pEndpoint.PropertyStore Failed", [&] {
            endpoint->GetId(&id);
            endpoint->GetDataFlow(&dataFlow);
            endpoint->GetState(&state);
            endpoint->GetProperty(DeviceProperty::DeviceInterfaceFriendlyName, &cardName);
            endpoint->GetProperty(DeviceProperty::DeviceDescription, &endpointName);
        });

        int32_t rate = 0;
        int32_t channels = 0;
        int32_t bits = 0;
        group("pEndpoint.GetMixFormat Failed", [&] {
            std::unique_ptr<IAudioClient> client;
            if (failed(endpoint->Activate(&client)) || !client)
                return;
            WaveFormatExtensible format;
            if (failed(client->GetMixFormat(&format)))
                return;
            rate = static_cast<int32_t>(format.Format.nSamplesPerSec);
            channels = format.Format.nChannels;
            bits = format.Format.wBitsPerSample;
        });

        group("pEndpoint.Savetolist Failed", [&] {
            const auto file = [&](TWASAPIDevices& endpoints) {
                TWASAPIDevice& item = endpoints.Add();
                item.Description = endpointName;
                item.ID = id;
                item.DataFlow = dataFlow;
                item.State = static_cast<int32_t>(state);
                item.SamplingRate = rate;
                item.Channels = channels;
                item.BitsPerSample = bits;
            };
            // Cards are told apart by name only: two adapters of one name become one card.
            bool matched = false;
            for (int i = 0; i < cards.Count(); ++i) {
                if (cards.GetItem(i).Description == cardName) {
                    file(endpointsOf(cards.GetItem(i)));
                    matched = true;
                }
            }
            if (!matched) {
                TWASAPIDevice& card = cards.Add();
                card.Description = cardName;
                card.ID = id;
                file(endpointsOf(card));
            }
        });
    }

    group("GetDefaultAudioEndpoint Failed", [&] {
        std::unique_ptr<IMMDevice> device;
        if (failed(enumerator->GetDefaultAudioEndpoint(eRender, eMultimedia, &device)) || !device)
            return;
        QString id;
        device->GetId(&id);
        for (int c = 0; c < cards.Count(); ++c) {
            const TWASAPIDevice& card = cards.GetItem(c);
            if (!card.inputs)
                continue;
            for (int e = 0; e < card.inputs->Count(); ++e) {
                if (card.inputs->GetItem(e).ID == id) {
                    defaultinput = e;
                    defaultcard = c;
                }
            }
        }
    });

    if (cards.Count() > 0) {
        try {
            defaultrate =
                endpointsOf(cards.GetItem(defaultcard)).GetItem(defaultinput).SamplingRate;
            if (defaultcard != 0) {
                cards.Move(defaultcard, 0);
                defaultcard = 0;
            }
        } catch (...) {
            throw std::runtime_error("SetDefaultAudioEndpoint Failed " +
                                     std::to_string(defaultcard) + " " +
                                     std::to_string(cards.Count()));
        }
    }
}
