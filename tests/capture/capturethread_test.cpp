// The capture thread over the scripted engine, through the capture source: conversion,
// block sizes, and every failure with its text.

#include "simrig.h"
#include "support/fakemessages.h"

#include "capture/capturegain.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace audio;

namespace {

constexpr uint32_t Rate = 48000;

class CaptureThreadTest : public ::testing::Test {
protected:
    CaptureThreadTest() {
        rig.engine.addEndpoint(simEndpoint("sink-a", eRender, "Card A", "Speakers"));
        rig.engine.addEndpoint(simEndpoint("source-a", eCapture, "Card A", "Microphone"));
        rig.engine.setDefaultEndpoint(eRender, "sink-a");
    }

    /// Lists the endpoints; nothing may fail in it.
    void enumerate() {
        rig.source.propagate();
        ASSERT_TRUE(msgs.shown.empty());
    }

    /// Index of an endpoint within card 0.
    int endpointIndex(const QString& id) const {
        const TWASAPIDevices& endpoints = *rig.source.cards.GetItem(0).inputs;
        for (int i = 0; i < endpoints.Count(); ++i)
            if (endpoints.GetItem(i).ID == id)
                return i;
        ADD_FAILURE() << "no endpoint " << id.toStdString();
        return 0;
    }

    bool start(const QString& id) {
        return rig.source.startnew(0, endpointIndex(id), pcm16Stereo(Rate));
    }

    /// Queues `count` packets of `frames` frames continuing the ramp.
    void queueRamp(const QString& id, int count, uint32_t frames, uint16_t channels) {
        for (int i = 0; i < count; ++i) {
            rig.engine.queuePacket(
                id, SimEngine::floatPacket(rampSamples(m_next, frames, channels), channels));
            m_next += frames * channels;
        }
    }

    std::vector<QString> captions() const {
        std::vector<QString> c;
        for (const auto& m : msgs.shown)
            c.push_back(m.caption);
        return c;
    }

    FakeMessages msgs;
    SimRig rig;

private:
    uint32_t m_next = 0;
};

TEST_F(CaptureThreadTest, ThreePacketsOf480FramesMakeOneBlockAt48kHz) {
    enumerate();
    queueRamp("sink-a", 3, 480, 2);
    ASSERT_TRUE(start("sink-a"));
    EXPECT_TRUE(rig.source.started);
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
    rig.source.stop();

    // Threshold 9600 bytes: 7680 after two packets, 11520 after the third.
    ASSERT_EQ(rig.blocks.size(), 1u);
    ASSERT_EQ(rig.blocks[0].size(), 1440u * 2); // 5760 bytes
    const std::vector<float> in = rampSamples(0, 1440, 2);
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(rig.blocks[0][i], pcmOf(in[i])) << "sample " << i;

    // Loopback stream in shared mode, converting, with a 5 s buffer, its own volume at
    // unity and not muted, stopped on the way out.
    const std::vector<SimStream> streams = rig.engine.streams();
    ASSERT_EQ(streams.size(), 2u); // the silent render stream first, then capture
    const SimStream& capture = streams[1];
    EXPECT_EQ(capture.endpoint, "sink-a");
    EXPECT_EQ(capture.shareMode, AUDCLNT_SHAREMODE_SHARED);
    EXPECT_EQ(capture.streamFlags,
              AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM);
    EXPECT_EQ(capture.bufferDuration, 50000000);
    EXPECT_EQ(capture.periodicity, 0);
    EXPECT_TRUE(capture.volumeSet);
    EXPECT_EQ(capture.volume, 1.0f);
    EXPECT_TRUE(capture.muteSet);
    EXPECT_FALSE(capture.mute);
    EXPECT_EQ(capture.stops, 1);
    EXPECT_TRUE(rig.events.isEmpty());
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(CaptureThreadTest, WholeChainDeliversConvertedBlocksInOrderAcrossWakeUps) {
    enumerate();
    ASSERT_TRUE(start("sink-a"));
    // Batches of five packets: blocks are cut after packets 3, 6 and 9, so leftovers carry
    // over from one batch (and wake-up) to the next.
    for (int batch = 0; batch < 4; ++batch) {
        queueRamp("sink-a", 5, 480, 2);
        ASSERT_TRUE(processUntil([&] { return rig.engine.pendingPackets("sink-a") == 0; }));
    }
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 6; }));
    rig.source.stop();

    // 20 packets: blocks after packets 3, 6, ..., 18; the last two stay undelivered.
    ASSERT_EQ(rig.blocks.size(), 6u);
    for (const auto& b : rig.blocks)
        EXPECT_EQ(b.size(), 1440u * 2);
    const std::vector<int16_t> got = rig.samples();
    const std::vector<float> in = rampSamples(0, 6 * 1440, 2);
    ASSERT_EQ(got.size(), in.size());
    for (size_t i = 0; i < in.size(); ++i)
        ASSERT_EQ(got[i], pcmOf(in[i])) << "sample " << i;

    // The silent render stream ran alongside and only ever wrote zeros.
    const SimRenderStats render = rig.engine.renderStats("sink-a");
    EXPECT_EQ(render.initializations, 1);
    EXPECT_GE(render.framesWritten, 96000u);
    EXPECT_TRUE(render.onlyZeros);
    EXPECT_EQ(render.stops, 1);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(CaptureThreadTest, MonoSixAndTenChannelFormatsBecomeStereo) {
    struct Case {
        QString id;
        uint16_t channels;
    };
    const Case cases[] = {{"mono", 1}, {"six", 6}, {"ten", 10}};
    for (const Case& c : cases) {
        SimEndpoint e = simEndpoint(c.id, eCapture, "Card A", c.id, Rate, c.channels);
        // Channels of no known speaker positions: the first two are left and right.
        if (c.channels > 2)
            e.mixFormat.dwChannelMask = 0;
        rig.engine.addEndpoint(e);
    }
    enumerate();

    for (const Case& c : cases) {
        SCOPED_TRACE(c.id.toStdString());
        rig.blocks.clear();
        const std::vector<float> in = rampSamples(7, 1440, c.channels);
        for (uint32_t p = 0; p < 3; ++p) {
            const std::vector<float> part(in.begin() + p * 480 * c.channels,
                                          in.begin() + (p + 1) * 480 * c.channels);
            rig.engine.queuePacket(c.id, SimEngine::floatPacket(part, c.channels));
        }
        ASSERT_TRUE(start(c.id));
        EXPECT_FALSE(rig.source.Loopback());
        ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
        rig.source.stop();

        // Threshold rate * channels / 10: three packets of 480 frames pass it in each case.
        ASSERT_EQ(rig.blocks[0].size(), 1440u * 2);
        for (size_t f = 0; f < 1440; ++f) {
            const float left = in[f * c.channels];
            const float right = c.channels == 1 ? left : in[f * c.channels + 1];
            ASSERT_EQ(rig.blocks[0][2 * f], pcmOf(left)) << "frame " << f;
            ASSERT_EQ(rig.blocks[0][2 * f + 1], pcmOf(right)) << "frame " << f;
        }
        // An input endpoint is captured directly: no loopback flag, no render stream.
        const SimStream last = rig.engine.streams().back();
        EXPECT_EQ(last.endpoint, c.id);
        EXPECT_EQ(last.streamFlags, AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM);
    }
    EXPECT_EQ(rig.engine.renderStats("mono").initializations, 0);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(CaptureThreadTest, SurroundIsMixedDownByItsPositionsAtTheRecordingsRate) {
    // A 5.1 output (front left, right, centre, LFE, back left, right) and a three-channel one
    // without a front pair (centre, side left, side right).
    constexpr uint32_t Surround = SPEAKER_FRONT_LEFT | SPEAKER_FRONT_RIGHT | SPEAKER_FRONT_CENTER |
                                  SPEAKER_LOW_FREQUENCY | SPEAKER_BACK_LEFT | SPEAKER_BACK_RIGHT;
    constexpr uint32_t NoFront = SPEAKER_FRONT_CENTER | SPEAKER_SIDE_LEFT | SPEAKER_SIDE_RIGHT;
    SimEndpoint film = simEndpoint("film", eRender, "Card B", "Film", Rate, 6);
    film.mixFormat = SimEngine::floatFormat(Rate, 6, Surround);
    rig.engine.addEndpoint(film);
    SimEndpoint odd = simEndpoint("odd", eRender, "Card B", "Odd", Rate, 3);
    odd.mixFormat = SimEngine::floatFormat(Rate, 3, NoFront);
    rig.engine.addEndpoint(odd);
    rig.source.propagate();
    ASSERT_TRUE(msgs.shown.empty());
    // The film output changes its rate after the list was read, before capture starts.
    rig.engine.setMixFormat("film", SimEngine::floatFormat(44100, 6, Surround));

    const auto capture = [&](const QString& id, uint16_t channels, size_t toneChannel) {
        rig.blocks.clear();
        std::vector<float> in(size_t{1440} * channels, 0.0f);
        for (size_t f = 0; f < 1440; ++f)
            in[f * channels + toneChannel] = 0.5f * std::sin(0.05f * static_cast<float>(f));
        for (size_t p = 0; p < 3; ++p)
            rig.engine.queuePacket(id,
                                   SimEngine::floatPacket({in.begin() + p * 480 * channels,
                                                           in.begin() + (p + 1) * 480 * channels},
                                                          channels));
        int card = -1;
        for (int c = 0; c < rig.source.cards.Count(); ++c)
            if (rig.source.cards.GetItem(c).Description == "Card B")
                card = c;
        const TWASAPIDevices& endpoints = *rig.source.cards.GetItem(card).inputs;
        int index = -1;
        for (int i = 0; i < endpoints.Count(); ++i)
            if (endpoints.GetItem(i).ID == id)
                index = i;
        EXPECT_TRUE(rig.source.startnew(card, index, pcm16Stereo(Rate)));
        EXPECT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
        rig.source.stop();
        return std::make_pair(in, rig.samples());
    };

    // The centre's tone reaches both sides at -3 dB, in a mix normalised by the larger sum of
    // weights: 1 front + 0.7071 centre + 0.5 LFE + 0.7071 back.
    {
        const auto [in, got] = capture("film", 6, 2);
        ASSERT_EQ(got.size(), 1440u * 2);
        const double weight = 0.70710678 / (1.0 + 0.70710678 + 0.5 + 0.70710678);
        for (size_t f = 0; f < 1440; ++f) {
            const double want = in[f * 6 + 2] * weight * 32767.0;
            ASSERT_NEAR(got[2 * f], want, 1.0) << "frame " << f;
            ASSERT_EQ(got[2 * f + 1], got[2 * f]) << "frame " << f;
        }
        // Opened at the recording's rate with the output's speaker positions.
        const SimStream stream = rig.engine.streams().back();
        EXPECT_EQ(stream.endpoint, "film");
        EXPECT_EQ(stream.rate, Rate);
        EXPECT_EQ(stream.format.Format.nChannels, 6);
        EXPECT_EQ(stream.format.dwChannelMask, Surround);
    }
    // Without a front pair the channels are read by their positions too: the side left
    // channel reaches the left side only, at half, as the centre weighs as much there.
    {
        const auto [in, got] = capture("odd", 3, 1);
        ASSERT_EQ(got.size(), 1440u * 2);
        for (size_t f = 0; f < 1440; ++f) {
            ASSERT_NEAR(got[2 * f], in[f * 3 + 1] * 0.5 * 32767.0, 1.0) << "frame " << f;
            ASSERT_EQ(got[2 * f + 1], 0) << "frame " << f;
        }
    }
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(CaptureThreadTest, SilentPacketsAndHolesBecomeZeros) {
    enumerate();
    const std::vector<float> loud(480 * 2, 0.5f);
    rig.engine.queuePacket("sink-a", SimEngine::floatPacket(loud, 2));
    rig.engine.queuePacket("sink-a", SimEngine::floatPacket(loud, 2, AUDCLNT_BUFFERFLAGS_SILENT));
    rig.engine.queuePacket("sink-a", SimEngine::holePacket(480));
    // A discontinuity is not silence.
    rig.engine.queuePacket("sink-a",
                           SimEngine::floatPacket(loud, 2, AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY));
    rig.engine.queuePacket("sink-a", SimEngine::floatPacket(loud, 2));
    rig.engine.queuePacket("sink-a", SimEngine::floatPacket(loud, 2));
    ASSERT_TRUE(start("sink-a"));
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 2; }));
    rig.source.stop();

    const std::vector<int16_t> got = rig.samples();
    ASSERT_EQ(got.size(), 6u * 480 * 2);
    for (size_t i = 0; i < got.size(); ++i) {
        const size_t packet = i / (480 * 2);
        const int16_t want = packet == 1 || packet == 2 ? 0 : 16384; // 16383.5 to even
        ASSERT_EQ(got[i], want) << "sample " << i;
    }
}

TEST_F(CaptureThreadTest, GainTwoClipsAndNaNBecomesFullScale) {
    enumerate();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    std::vector<float> in(480 * 2 * 3, 0.0f);
    in[0] = 0.75f;
    in[1] = -0.9f;
    in[2] = 0.25f;
    in[3] = -0.25f;
    in[4] = nan;
    in[5] = -nan;
    for (int p = 0; p < 3; ++p)
        rig.engine.queuePacket(
            "sink-a",
            SimEngine::floatPacket({in.begin() + p * 960, in.begin() + (p + 1) * 960}, 2));
    rig.source.setvolume(100);
    ASSERT_TRUE(start("sink-a"));
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
    rig.source.stop();
    setCaptureGain(1.0f);

    const std::vector<int16_t>& b = rig.blocks[0];
    EXPECT_EQ(b[0], 32767);
    EXPECT_EQ(b[1], -32767);
    EXPECT_EQ(b[2], 16384); // 0.5 * 32767 = 16383.5, to even
    EXPECT_EQ(b[3], -16384);
    EXPECT_EQ(b[4], 32767);
    EXPECT_EQ(b[5], 32767);
    EXPECT_EQ(b[6], 0);
}

TEST_F(CaptureThreadTest, EmptyBufferStatusCountsAsSuccess) {
    enumerate();
    queueRamp("sink-a", 3, 480, 2);
    // One GetBuffer call hands out nothing with the "buffer empty" status.
    rig.engine.failAt(SimCall::CaptureGetBuffer, AUDCLNT_S_BUFFER_EMPTY, 1, 1);
    ASSERT_TRUE(start("sink-a"));
    ASSERT_TRUE(processUntil([&] { return rig.blocks.size() == 1; }));
    rig.source.stop();
    EXPECT_EQ(rig.blocks[0].size(), 1440u * 2);
    EXPECT_EQ(rig.blocks[0][0], pcmOf(rampSamples(0, 1, 2)[0]));
    EXPECT_TRUE(rig.events.isEmpty());
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(CaptureThreadTest, DisabledNotPresentAndUnpluggedEndpointsFailInit) {
    enumerate();
    struct Case {
        uint32_t state;
        const char* text;
    };
    const Case cases[] = {
        {DEVICE_STATE_DISABLED,
         "Audio Device Error. Sorry, this device [Speakers(Card A)] is disabled. Please activate "
         "it in the system's sound settings or select another output device there"},
        {DEVICE_STATE_NOTPRESENT,
         "Audio Device Error. This device [Speakers(Card A)] not present. Please select another "
         "output device in the system's sound settings."},
        {DEVICE_STATE_UNPLUGGED,
         "Audio Device Error. This device [Speakers(Card A)] is unplugged. Please check "
         "connections or select another output device in the system's sound settings."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.state);
        msgs.shown.clear();
        rig.engine.setState("sink-a", c.state);
        start("sink-a");
        EXPECT_FALSE(rig.source.started);
        ASSERT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].text, QString(c.text) + "\nReturn code: FFFFFFFF");
        EXPECT_EQ(msgs.shown[0].caption, "Audio Device Error");
        // The thread ends at once and quietly.
        ASSERT_TRUE(rig.captureEnded());
        EXPECT_EQ(rig.threads.lastCapture->returnValue(), 0);
        EXPECT_EQ(msgs.shown.size(), 1u);
    }
    EXPECT_TRUE(rig.events.isEmpty());
    // No capture stream was opened on a device in a bad state; only the silent render
    // streams, which do not look at the state.
    for (const SimStream& s : rig.engine.streams())
        EXPECT_EQ(s.streamFlags, 0u);
}

TEST_F(CaptureThreadTest, IntegerMixFormatIsRefusedWithTheFormatReport) {
    rig.engine.setMixFormat("source-a", SimEngine::pcm16Format(44100, 2));
    enumerate();
    start("source-a");
    EXPECT_FALSE(rig.source.started);
    const QString text = "Non PCM audio stream not supported. \n"
                         "Format:     65534\n"
                         "Channels:   2\n"
                         "Bits:       16\n"
                         "Samplerate: 44100\n"
                         "Valid bits:   16\n"
                         "Channelsmask: 3\n"
                         "KSDataFormat: {00000001-0000-0010-8000-00AA00389B71}\n"
                         "\nReturn code: FFFFFC40";
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, text);
    EXPECT_EQ(rig.events, QStringList({"error: " + text}));
    EXPECT_EQ(rig.engine.callCount(SimCall::Initialize), 0);
}

TEST_F(CaptureThreadTest, InvalidArgumentAtInitializationReachesOnError) {
    rig.engine.failAt(SimCall::Initialize, E_INVALIDARG);
    enumerate();
    start("source-a");
    const QString text = "AudioClient.Initialization\n"
                         "Parameter pFormat points to an invalid format description. "
                         "Format:     65534\nChannels:   2\nBits:       32\nSamplerate: 48000\n"
                         "Valid bits:   32\nChannelsmask: 3\n"
                         "KSDataFormat: {00000003-0000-0010-8000-00AA00389B71}\n"
                         "\nReturn code: 80070057";
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, text);
    EXPECT_EQ(rig.events, QStringList({"error: " + text}));
}

TEST_F(CaptureThreadTest, EveryOtherInitFailureHasItsText) {
    enumerate();
    struct Case {
        SimCall call;
        HRESULT status;
        QString text;
    };
    const Case cases[] = {
        {SimCall::CreateEnumerator, AUDCLNT_E_SERVICE_NOT_RUNNING,
         "MMDevEnum.GetDevice failed.\nReturn code: 88890010"},
        {SimCall::GetDevice, E_NOTFOUND, "MMDevEnum.GetDevice failed.\nReturn code: 80070490"},
        {SimCall::Activate, AUDCLNT_E_DEVICE_INVALIDATED,
         "MMDev.Activate failed.\nReturn code: 88890004"},
        {SimCall::GetMixFormat, E_OUTOFMEMORY,
         "Device does not return mix format\nReturn code: 8007000E"},
        {SimCall::Initialize, AUDCLNT_E_UNSUPPORTED_FORMAT,
         "AudioClient.Initialization\nThe audio engine (shared mode) or audio endpoint device "
         "(exclusive mode) does not support the specified format.\nReturn code: 88890008"},
        {SimCall::GetBufferSize, AUDCLNT_E_NOT_INITIALIZED,
         "AudioClient.GetBufferSize Failed. \nReturn code: 88890001"},
        {SimCall::GetCaptureClient, E_FAIL,
         "AudioClient.GetService Failed. \nReturn code: 80004005"},
        {SimCall::GetSimpleAudioVolume, E_FAIL,
         "AudioClient.GetService Failed. \nReturn code: 80004005"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        msgs.shown.clear();
        rig.engine.clearFailures();
        rig.engine.failAt(c.call, c.status);
        start("source-a");
        EXPECT_FALSE(rig.source.started);
        ASSERT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].text, c.text);
        EXPECT_EQ(msgs.shown[0].caption, "Audio Device Error");
    }
    EXPECT_TRUE(rig.events.isEmpty());

    // Failing volume calls change nothing.
    msgs.shown.clear();
    rig.engine.clearFailures();
    rig.engine.failAt(SimCall::SetMasterVolume, E_FAIL);
    rig.engine.failAt(SimCall::SetMute, E_FAIL);
    start("source-a");
    EXPECT_TRUE(rig.source.started);
    EXPECT_TRUE(msgs.shown.empty());
}

TEST_F(CaptureThreadTest, FailuresWhileRunningGiveOneTerminationReport) {
    // An input endpoint that goes away ends capture. (An output recorded by loopback is
    // replaced by the default output instead; see devicefollow_test.cpp.)
    enumerate();
    struct Case {
        SimCall call;
        int after;
        HRESULT status;
        QString errmsg;
        QString description;
    };
    const QString invalidated =
        "The audio endpoint device has been unplugged, or the audio hardware or associated "
        "hardware resources have been reconfigured, disabled, removed, or otherwise made "
        "unavailable for use.";
    const Case cases[] = {
        {SimCall::Start, 0, AUDCLNT_E_NOT_STOPPED, "AudioClient.Start Failed.",
         "The audio stream was not stopped at the time the call was made. "},
        {SimCall::GetNextPacketSize, 0, AUDCLNT_E_DEVICE_INVALIDATED,
         "CaptureClient.GetNextPacketSize Failed.", invalidated},
        {SimCall::CaptureGetBuffer, 0, AUDCLNT_E_DEVICE_INVALIDATED,
         "CaptureClient.GetBuffer Failed.", invalidated},
        // A success status other than "buffer empty" is not accepted either.
        {SimCall::CaptureGetBuffer, 0, S_FALSE, "CaptureClient.GetBuffer Failed.", "Unknown error"},
        {SimCall::CaptureReleaseBuffer, 0, AUDCLNT_E_INVALID_SIZE,
         "CaptureClient.ReleaseBuffer Failed.",
         "The NumFramesRead parameter is set to a value other than the data packet size or 0."},
        {SimCall::GetNextPacketSize, 1, E_FAIL, "CaptureClient.GetNextPacketSize2 Failed.",
         "Unknown error"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.errmsg.toStdString());
        msgs.shown.clear();
        rig.events.clear();
        rig.engine.clearFailures();
        rig.engine.failAt(c.call, c.status, c.after);
        queueRamp("source-a", 1, 480, 2);
        ASSERT_TRUE(start("source-a"));
        EXPECT_TRUE(rig.source.started);
        ASSERT_TRUE(rig.captureEnded());
        EXPECT_EQ(rig.threads.lastCapture->returnValue(), c.status);

        const QString text = "Recording thread returned: " + c.errmsg +
                             "\nReturn code:" + statusHex(c.status) +
                             "\nSession duration: 0:00:00\nDevice name: Card A\n"
                             "Input name: Microphone\n" +
                             c.description;
        EXPECT_EQ(rig.events, QStringList({"error: " + text, "end"}));
        ASSERT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].text, text);
        EXPECT_EQ(msgs.shown[0].caption, "Recording thread terminated");
        EXPECT_FALSE(rig.source.started);
        rig.source.stop();
        EXPECT_EQ(msgs.shown.size(), 1u);
    }
}

TEST_F(CaptureThreadTest, TerminationReportCarriesTheSessionDuration) {
    enumerate();
    rig.engine.failAt(SimCall::CaptureGetBuffer, AUDCLNT_E_DEVICE_INVALIDATED);
    ASSERT_TRUE(start("source-a"));
    rig.clock.advanceMs((3600 + 65) * 1000);
    // The packet arrives only now, so the failure comes after the clock has moved.
    queueRamp("source-a", 1, 480, 2);
    ASSERT_TRUE(rig.captureEnded());
    ASSERT_EQ(msgs.shown.size(), 1u);
    EXPECT_TRUE(msgs.shown[0].text.contains("\nSession duration: 1:01:05\n"));
}

TEST_F(CaptureThreadTest, ExceptionsAreShownAndEndTheCapture) {
    enumerate();
    // In the body: shown with its message, return value -1, then the termination report.
    rig.engine.throwAt(SimCall::GetNextPacketSize, "the sound server went away");
    ASSERT_TRUE(start("source-a"));
    ASSERT_TRUE(rig.captureEnded());
    EXPECT_EQ(rig.threads.lastCapture->returnValue(), -1);
    ASSERT_EQ(msgs.shown.size(), 2u);
    EXPECT_EQ(msgs.shown[0].text, "the sound server went away");
    EXPECT_EQ(msgs.shown[0].caption, "Error");
    EXPECT_EQ(msgs.shown[1].caption, "Recording thread terminated");
    EXPECT_TRUE(msgs.shown[1].text.startsWith("Recording thread returned: \nReturn code:FFFFFFFF"));
    EXPECT_TRUE(msgs.shown[1].text.endsWith("\nUnknown error"));
    EXPECT_EQ(rig.events.size(), 2);

    // In Init: shown at once; Init counts as succeeded, and the body ends at its first step
    // because the stream was never set up.
    msgs.shown.clear();
    rig.events.clear();
    rig.engine.clearFailures();
    rig.engine.throwAt(SimCall::Activate, "activation threw");
    ASSERT_TRUE(start("source-a"));
    ASSERT_GE(msgs.shown.size(), 1u);
    EXPECT_EQ(msgs.shown[0].text, "activation threw");
    EXPECT_EQ(msgs.shown[0].caption, "Error");
    ASSERT_TRUE(rig.captureEnded());
    EXPECT_EQ(rig.threads.lastCapture->returnValue(), AUDCLNT_E_NOT_INITIALIZED);
    ASSERT_EQ(msgs.shown.size(), 2u);
    EXPECT_TRUE(msgs.shown[1].text.startsWith(
        "Recording thread returned: AudioClient.Start Failed.\nReturn code:88890001"));
    EXPECT_FALSE(rig.source.started);
}

TEST_F(CaptureThreadTest, StopIsPromptAndStopsTheStream) {
    enumerate();
    ASSERT_TRUE(start("source-a"));
    ASSERT_TRUE(processUntil([&] { return rig.engine.callCount(SimCall::GetNextPacketSize) > 0; }));
    rig.source.stop();
    const SimStream s = rig.engine.streams().back();
    EXPECT_TRUE(s.started);
    EXPECT_EQ(s.stops, 1);
    EXPECT_TRUE(rig.blocks.empty());
    EXPECT_TRUE(rig.events.isEmpty());
    EXPECT_TRUE(msgs.shown.empty());
}

} // namespace
