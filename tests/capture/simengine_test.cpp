// The scripted engine itself: what the capture tests rely on.

#include "platform/audio/sim/simengine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <thread>

using namespace audio;

namespace {

class SimEngineTest : public ::testing::Test {
protected:
    SimEngineTest() {
        SimEndpoint out;
        out.id = "out";
        out.cardName = "Card";
        out.endpointName = "Speakers";
        out.mixFormat = SimEngine::floatFormat(48000, 2);
        out.bufferFrames = 100;
        engine.addEndpoint(out);
        SimEndpoint in = out;
        in.id = "in";
        in.dataFlow = eCapture;
        in.endpointName = "Microphone";
        in.state = DEVICE_STATE_UNPLUGGED;
        engine.addEndpoint(in);
        SimEndpoint gone = out;
        gone.id = "gone";
        gone.state = DEVICE_STATE_NOTPRESENT;
        engine.addEndpoint(gone);
    }

    std::unique_ptr<IAudioClient> client(const QString& id, uint32_t flags) {
        std::unique_ptr<IMMDeviceEnumerator> en;
        EXPECT_EQ(engine.CreateEnumerator(&en), S_OK);
        std::unique_ptr<IMMDevice> dev;
        EXPECT_EQ(en->GetDevice(id, &dev), S_OK);
        std::unique_ptr<IAudioClient> c;
        EXPECT_EQ(dev->Activate(&c), S_OK);
        WaveFormatExtensible f;
        EXPECT_EQ(c->GetMixFormat(&f), S_OK);
        EXPECT_EQ(c->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, 20000000, 0, f), S_OK);
        return c;
    }

    SimEngine engine;
};

TEST_F(SimEngineTest, EnumerationFiltersByFlowAndState) {
    std::unique_ptr<IMMDeviceEnumerator> en;
    ASSERT_EQ(engine.CreateEnumerator(&en), S_OK);
    std::vector<std::unique_ptr<IMMDevice>> devices;
    ASSERT_EQ(en->EnumAudioEndpoints(eAll, 0x0B, &devices), S_OK);
    ASSERT_EQ(devices.size(), 2u);
    QString id;
    devices[1]->GetId(&id);
    EXPECT_EQ(id, "in");
    uint32_t state = 0;
    devices[1]->GetState(&state);
    EXPECT_EQ(state, DEVICE_STATE_UNPLUGGED);
    QString name;
    devices[1]->GetProperty(DeviceProperty::DeviceDescription, &name);
    EXPECT_EQ(name, "Microphone");
    devices[1]->GetProperty(DeviceProperty::DeviceInterfaceFriendlyName, &name);
    EXPECT_EQ(name, "Card");
    ASSERT_EQ(en->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &devices), S_OK);
    EXPECT_EQ(devices.size(), 1u);

    std::unique_ptr<IMMDevice> def;
    EXPECT_EQ(en->GetDefaultAudioEndpoint(eRender, eMultimedia, &def), E_NOTFOUND);
    engine.setDefaultEndpoint(eRender, "out");
    ASSERT_EQ(en->GetDefaultAudioEndpoint(eRender, eMultimedia, &def), S_OK);
    def->GetId(&id);
    EXPECT_EQ(id, "out");
    EXPECT_EQ(en->GetDevice("nowhere", &def), E_NOTFOUND);
    EXPECT_EQ(def, nullptr);
}

TEST_F(SimEngineTest, FailureRulesCountTheirCalls) {
    engine.failAt(SimCall::GetState, E_FAIL, 2, 1);
    engine.failAt(SimCall::GetState, AUDCLNT_E_DEVICE_INVALIDATED, 4, -1, "out");
    engine.throwAt(SimCall::GetId, "thrown", 1);
    std::unique_ptr<IMMDeviceEnumerator> en;
    engine.CreateEnumerator(&en);
    std::unique_ptr<IMMDevice> out;
    std::unique_ptr<IMMDevice> in;
    en->GetDevice("out", &out);
    en->GetDevice("in", &in);
    uint32_t s = 0;
    std::vector<HRESULT> got;
    for (int i = 0; i < 4; ++i)
        got.push_back(out->GetState(&s));
    got.push_back(in->GetState(&s)); // not counted by the rule for "out"
    got.push_back(out->GetState(&s));
    got.push_back(out->GetState(&s));
    EXPECT_EQ(got,
              (std::vector<HRESULT>{S_OK, S_OK, E_FAIL, S_OK, S_OK, AUDCLNT_E_DEVICE_INVALIDATED,
                                    AUDCLNT_E_DEVICE_INVALIDATED}));
    EXPECT_EQ(engine.callCount(SimCall::GetState), 7);

    QString id;
    EXPECT_EQ(out->GetId(&id), S_OK);
    EXPECT_THROW(out->GetId(&id), std::runtime_error);
    EXPECT_EQ(out->GetId(&id), S_OK); // thrown once
    engine.clearFailures();
    EXPECT_EQ(out->GetState(&s), S_OK);

    engine.setActivateStatus("out", E_OUTOFMEMORY);
    std::unique_ptr<IAudioClient> c;
    EXPECT_EQ(out->Activate(&c), E_OUTOFMEMORY);
    EXPECT_EQ(c, nullptr);
}

TEST_F(SimEngineTest, CapturePacketsComeOutInOrderWithHolesAndRereads) {
    auto c = client("out", AUDCLNT_STREAMFLAGS_LOOPBACK);
    std::unique_ptr<IAudioCaptureClient> cap;
    ASSERT_EQ(c->GetCaptureClient(&cap), S_OK);
    engine.queuePacket("out", SimEngine::floatPacket({0.5f, -0.5f, 0.25f, -0.25f}, 2));
    engine.queuePacket("out", SimEngine::holePacket(3));

    uint32_t frames = 0;
    ASSERT_EQ(cap->GetNextPacketSize(&frames), S_OK);
    EXPECT_EQ(frames, 2u);
    uint8_t* data = nullptr;
    uint32_t flags = 9;
    ASSERT_EQ(cap->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    ASSERT_NE(data, nullptr);
    float first[4];
    std::memcpy(first, data, sizeof first);
    EXPECT_EQ(first[3], -0.25f);
    EXPECT_EQ(flags, 0u);
    EXPECT_EQ(cap->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(cap->ReleaseBuffer(1), AUDCLNT_E_INVALID_SIZE);
    // Releasing nothing hands the packet out again.
    EXPECT_EQ(cap->ReleaseBuffer(0), S_OK);
    ASSERT_EQ(cap->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, 2u);
    EXPECT_EQ(cap->ReleaseBuffer(2), S_OK);

    ASSERT_EQ(cap->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(frames, 3u);
    EXPECT_EQ(flags, AUDCLNT_BUFFERFLAGS_SILENT);
    EXPECT_EQ(cap->ReleaseBuffer(3), S_OK);
    EXPECT_EQ(engine.releasedPackets("out"), 2u);

    EXPECT_EQ(cap->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(frames, 0u);
    EXPECT_EQ(cap->ReleaseBuffer(0), S_OK);
}

TEST_F(SimEngineTest, StreamsCheckTheirUse) {
    std::unique_ptr<IMMDeviceEnumerator> en;
    engine.CreateEnumerator(&en);
    std::unique_ptr<IMMDevice> in;
    en->GetDevice("in", &in);
    std::unique_ptr<IAudioClient> c;
    in->Activate(&c);
    EXPECT_EQ(c->Start(), AUDCLNT_E_NOT_INITIALIZED);
    WaveFormatExtensible f;
    c->GetMixFormat(&f);
    EXPECT_EQ(c->Initialize(0, AUDCLNT_STREAMFLAGS_LOOPBACK, 0, 0, f),
              AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    ASSERT_EQ(c->Initialize(0, 0, 50000000, 0, f), S_OK);
    EXPECT_EQ(c->Initialize(0, 0, 50000000, 0, f), AUDCLNT_E_ALREADY_INITIALIZED);
    std::unique_ptr<IAudioRenderClient> r;
    EXPECT_EQ(c->GetRenderClient(&r), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    EXPECT_EQ(c->Start(), S_OK);
    EXPECT_EQ(c->Start(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(c->Stop(), S_OK);
    EXPECT_EQ(c->Stop(), S_FALSE);
}

TEST_F(SimEngineTest, RenderAccountingSeesEveryByte) {
    auto c = client("out", 0);
    uint32_t size = 0;
    ASSERT_EQ(c->GetBufferSize(&size), S_OK);
    EXPECT_EQ(size, 100u);
    std::unique_ptr<IAudioRenderClient> r;
    ASSERT_EQ(c->GetRenderClient(&r), S_OK);
    uint8_t* data = nullptr;
    EXPECT_EQ(r->GetBuffer(101, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    ASSERT_EQ(r->GetBuffer(60, &data), S_OK);
    std::memset(data, 0, 60 * 8);
    EXPECT_EQ(r->ReleaseBuffer(60, 0), S_OK);
    uint32_t padding = 0;
    c->GetCurrentPadding(&padding);
    EXPECT_EQ(padding, 60u);
    EXPECT_EQ(r->GetBuffer(41, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_TRUE(engine.renderStats("out").onlyZeros);

    // A buffer released without being cleared is seen.
    ASSERT_EQ(r->GetBuffer(40, &data), S_OK);
    std::memset(data, 0, 40 * 8 - 1);
    EXPECT_EQ(r->ReleaseBuffer(40, 0), S_OK);
    SimRenderStats stats = engine.renderStats("out");
    EXPECT_FALSE(stats.onlyZeros);
    EXPECT_EQ(stats.framesWritten, 100u);
    EXPECT_EQ(stats.writes, 2);
    engine.setPadding("out", 10);
    c->GetCurrentPadding(&padding);
    EXPECT_EQ(padding, 10u);
}

TEST_F(SimEngineTest, PacketsQueuedFromAnotherThreadArriveInOrder) {
    auto c = client("out", AUDCLNT_STREAMFLAGS_LOOPBACK);
    std::unique_ptr<IAudioCaptureClient> cap;
    ASSERT_EQ(c->GetCaptureClient(&cap), S_OK);
    constexpr int Packets = 2000;
    std::thread producer([&] {
        for (int i = 0; i < Packets; ++i)
            engine.queuePacket("out", SimEngine::floatPacket({float(i), float(-i)}, 2));
    });
    int next = 0;
    while (next < Packets) {
        uint8_t* data = nullptr;
        uint32_t frames = 0;
        uint32_t flags = 0;
        const HRESULT s = cap->GetBuffer(&data, &frames, &flags, nullptr, nullptr);
        if (s == AUDCLNT_S_BUFFER_EMPTY) {
            std::this_thread::yield();
            continue;
        }
        ASSERT_EQ(s, S_OK);
        float v[2];
        std::memcpy(v, data, sizeof v);
        ASSERT_EQ(v[0], float(next));
        ASSERT_EQ(cap->ReleaseBuffer(frames), S_OK);
        ++next;
    }
    producer.join();
    EXPECT_EQ(engine.pendingPackets("out"), 0u);
}

} // namespace
