// Building the card and endpoint list from the scripted engine.

#include "support/fakemessages.h"

#include "capture/wasapisource.h"
#include "common/handoff.h"
#include "platform/audio/sim/simengine.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

using namespace audio;

namespace {

SimEndpoint endpoint(const QString& id, int flow, const QString& card, const QString& name,
                     uint32_t rate = 48000, uint16_t channels = 2) {
    SimEndpoint e;
    e.id = id;
    e.dataFlow = flow;
    e.cardName = card;
    e.endpointName = name;
    e.mixFormat = SimEngine::floatFormat(rate, channels);
    return e;
}

QStringList names(const TWASAPIDevices& devices) {
    QStringList list;
    for (int i = 0; i < devices.Count(); ++i)
        list.append(devices.GetItem(i).Description);
    return list;
}

class EnumerationTest : public ::testing::Test {
protected:
    EnumerationTest() { source.setAudioEngine(&engine); }

    /// The one message shown, or an empty text.
    QString shownError() const {
        if (msgs.shown.empty())
            return {};
        EXPECT_EQ(msgs.shown.size(), 1u);
        EXPECT_EQ(msgs.shown[0].caption, "Audio Device Error");
        EXPECT_EQ(msgs.shown[0].icon, MessageIcon::Error);
        return msgs.shown[0].text;
    }

    FakeMessages msgs;
    SimEngine engine;
    WindowThreadHandoff handoff;
    TWASAPISource source{handoff, nullptr};
};

TEST_F(EnumerationTest, EndpointsAreGroupedByCardName) {
    engine.addEndpoint(endpoint("sink-a", eRender, "Card A", "Speakers", 44100, 2));
    engine.addEndpoint(endpoint("hdmi", eRender, "Card B", "HDMI", 48000, 8));
    engine.addEndpoint(endpoint("mic-a", eCapture, "Card A", "Microphone", 16000, 1));
    // A second adapter with the same name joins the first card.
    engine.addEndpoint(endpoint("sink-a2", eRender, "Card A", "Line out"));
    source.propagate();

    EXPECT_TRUE(msgs.shown.empty());
    ASSERT_EQ(source.cards.Count(), 2);
    const TWASAPIDevice& a = source.cards.GetItem(0);
    EXPECT_EQ(a.Description, "Card A");
    EXPECT_EQ(a.ID, "sink-a"); // the first endpoint found
    EXPECT_EQ(a.DataFlow, 0);
    EXPECT_EQ(a.State, 0);
    EXPECT_EQ(a.SamplingRate, 0);
    EXPECT_EQ(names(*a.inputs), QStringList({"Speakers", "Microphone", "Line out"}));
    const TWASAPIDevice& mic = a.inputs->GetItem(1);
    EXPECT_EQ(mic.ID, "mic-a");
    EXPECT_EQ(mic.DataFlow, 1);
    EXPECT_EQ(mic.State, 1);
    EXPECT_EQ(mic.SamplingRate, 16000);
    EXPECT_EQ(mic.Channels, 1);
    EXPECT_EQ(mic.BitsPerSample, 32);
    EXPECT_EQ(mic.inputs->Count(), 0);
    EXPECT_EQ(names(*source.cards.GetItem(1).inputs), QStringList({"HDMI"}));
    EXPECT_EQ(source.cards.GetItem(1).inputs->GetItem(0).Channels, 8);

    // No default output endpoint: the first endpoint of the first card.
    EXPECT_EQ(source.defaultcard, 0);
    EXPECT_EQ(source.defaultinput, 0);
    EXPECT_EQ(source.defaultrate, 44100);
    EXPECT_EQ(source.inputs, QStringList({"Speakers", "Microphone", "Line out"}));
}

TEST_F(EnumerationTest, CardOfTheDefaultOutputMovesToTheFront) {
    engine.addEndpoint(endpoint("a", eRender, "Card A", "A out"));
    engine.addEndpoint(endpoint("b", eRender, "Card B", "B out"));
    engine.addEndpoint(endpoint("c-mic", eCapture, "Card C", "C mic"));
    engine.addEndpoint(endpoint("c", eRender, "Card C", "C out", 96000));
    engine.setDefaultEndpoint(eRender, "c");
    engine.setDefaultEndpoint(eCapture, "a"); // not what is asked for
    source.propagate();

    EXPECT_TRUE(msgs.shown.empty());
    EXPECT_EQ(names(source.cards), QStringList({"Card C", "Card A", "Card B"}));
    EXPECT_EQ(source.defaultcard, 0);
    EXPECT_EQ(source.defaultinput, 1);
    EXPECT_EQ(source.defaultrate, 96000);
    EXPECT_EQ(source.inputs, QStringList({"C mic", "C out"}));
}

TEST_F(EnumerationTest, StatesAndUnreadableFormats) {
    engine.addEndpoint(endpoint("on", eRender, "Card", "Active"));
    SimEndpoint disabled = endpoint("off", eRender, "Card", "Disabled");
    disabled.state = DEVICE_STATE_DISABLED;
    engine.addEndpoint(disabled);
    SimEndpoint gone = endpoint("gone", eRender, "Card", "Not present");
    gone.state = DEVICE_STATE_NOTPRESENT;
    engine.addEndpoint(gone);
    SimEndpoint unplugged = endpoint("jack", eCapture, "Card", "Unplugged");
    unplugged.state = DEVICE_STATE_UNPLUGGED;
    engine.addEndpoint(unplugged);
    SimEndpoint dead = endpoint("dead", eRender, "Card", "No client");
    dead.activateStatus = AUDCLNT_E_DEVICE_INVALIDATED;
    engine.addEndpoint(dead);
    engine.addEndpoint(endpoint("nofmt", eRender, "Card", "No format"));
    engine.failAt(SimCall::GetMixFormat, E_FAIL, 0, -1, "nofmt");
    // Statuses inside a step are not examined: a failing identifier leaves it empty.
    engine.addEndpoint(endpoint("noid", eRender, "Card", "No id"));
    engine.failAt(SimCall::GetId, E_FAIL, 0, -1, "noid");
    source.propagate();

    EXPECT_TRUE(msgs.shown.empty());
    ASSERT_EQ(source.cards.Count(), 1);
    const TWASAPIDevices& e = *source.cards.GetItem(0).inputs;
    ASSERT_EQ(names(e),
              QStringList({"Active", "Disabled", "Unplugged", "No client", "No format", "No id"}));
    EXPECT_EQ(e.GetItem(0).State, 1);
    EXPECT_EQ(e.GetItem(1).State, 2);
    EXPECT_EQ(e.GetItem(2).State, 8);
    EXPECT_EQ(e.GetItem(1).SamplingRate, 48000);
    for (int i : {3, 4}) {
        EXPECT_EQ(e.GetItem(i).State, 1);
        EXPECT_EQ(e.GetItem(i).SamplingRate, 0);
        EXPECT_EQ(e.GetItem(i).Channels, 0);
        EXPECT_EQ(e.GetItem(i).BitsPerSample, 0);
    }
    EXPECT_EQ(e.GetItem(5).ID, "");
    EXPECT_EQ(e.GetItem(5).SamplingRate, 48000);
}

TEST_F(EnumerationTest, NoEndpointsKeepTheDefaultRate) {
    source.propagate();
    EXPECT_TRUE(msgs.shown.empty());
    EXPECT_EQ(source.cards.Count(), 0);
    EXPECT_EQ(source.defaultrate, 44100);
    EXPECT_TRUE(source.inputs.isEmpty());
}

TEST_F(EnumerationTest, EachFailingStepThrowsItsTextAndKeepsWhatWasFiled) {
    struct Case {
        const char* text;
        std::function<void(SimEngine&)> fail;
        int filed; ///< endpoints listed afterwards
    };
    const Case cases[] = {
        {"CoCreateInstance::MMDeviceEnumerator Failed",
         [](SimEngine& e) { e.failAt(SimCall::CreateEnumerator, AUDCLNT_E_SERVICE_NOT_RUNNING); },
         0},
        {"CoCreateInstance::MMDeviceEnumerator Failed",
         [](SimEngine& e) { e.throwAt(SimCall::CreateEnumerator, "boom"); }, 0},
        {"EnumAudioEndpoints Failed",
         [](SimEngine& e) { e.failAt(SimCall::EnumAudioEndpoints, E_OUTOFMEMORY); }, 0},
        {"pEndpoint.PropertyStore Failed",
         [](SimEngine& e) { e.throwAt(SimCall::GetProperty, "x", 0, "two"); }, 1},
        {"pEndpoint.PropertyStore Failed",
         [](SimEngine& e) { e.throwAt(SimCall::GetState, "x", 0, "one"); }, 0},
        {"pEndpoint.GetMixFormat Failed",
         [](SimEngine& e) { e.throwAt(SimCall::Activate, "x", 0, "two"); }, 1},
        {"pEndpoint.GetMixFormat Failed",
         [](SimEngine& e) { e.throwAt(SimCall::GetMixFormat, "x", 0, "one"); }, 0},
        {"GetDefaultAudioEndpoint Failed",
         [](SimEngine& e) { e.throwAt(SimCall::GetDefaultAudioEndpoint, "x"); }, 2},
        // The identifier of the default endpoint, read after both were filed.
        {"GetDefaultAudioEndpoint Failed",
         [](SimEngine& e) { e.throwAt(SimCall::GetId, "x", 1, "two"); }, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        for (bool shown : {false, true}) {
            SimEngine local;
            local.addEndpoint(endpoint("one", eRender, "Card A", "One", 32000));
            local.addEndpoint(endpoint("two", eRender, "Card B", "Two"));
            local.setDefaultEndpoint(eRender, "two");
            c.fail(local);
            source.setAudioEngine(&local);
            source.cards.Clear();
            msgs.shown.clear();
            if (shown) {
                source.propagate();
                EXPECT_EQ(shownError(), QString("Audio devices enumeration error: ") + c.text);
            } else {
                try {
                    source.enumdevices();
                    ADD_FAILURE() << "nothing thrown";
                } catch (const std::runtime_error& e) {
                    EXPECT_STREQ(e.what(), c.text);
                }
            }
            int filed = 0;
            for (int i = 0; i < source.cards.Count(); ++i)
                filed += source.cards.GetItem(i).inputs->Count();
            EXPECT_EQ(filed, c.filed);
            source.setAudioEngine(nullptr);
        }
    }
}

TEST_F(EnumerationTest, FilingAndDefaultStepsFailOnABrokenList) {
    engine.addEndpoint(endpoint("one", eRender, "Card A", "One"));
    // A card left in the list without its endpoint collection cannot take an endpoint.
    source.cards.Add().Description = "Card A";
    source.cards.GetItem(0).inputs.reset();
    source.propagate();
    EXPECT_EQ(shownError(), "Audio devices enumeration error: pEndpoint.Savetolist Failed");
    EXPECT_TRUE(source.inputs.isEmpty());

    // A card without endpoints at the front: the default indices address nothing.
    msgs.shown.clear();
    source.cards.Clear();
    source.cards.Add().Description = "Empty";
    source.propagate();
    EXPECT_EQ(shownError(), "Audio devices enumeration error: SetDefaultAudioEndpoint Failed 0 2");
    EXPECT_EQ(source.cards.Count(), 2);
}

TEST_F(EnumerationTest, WithoutAnEngineOnlyInputsAreFilled) {
    engine.addEndpoint(endpoint("one", eRender, "Card A", "One"));
    source.setAudioEngine(nullptr);
    source.propagate();
    EXPECT_EQ(source.cards.Count(), 0);
    EXPECT_TRUE(msgs.shown.empty());
    EXPECT_THROW(source.enumdevices(), std::runtime_error);
}

} // namespace
