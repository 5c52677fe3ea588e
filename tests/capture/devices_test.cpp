// The card and endpoint collection.

#include "capture/devices.h"

#include <QStringList>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

QStringList names(const TWASAPIDevices& devices) {
    QStringList result;
    for (int i = 0; i < devices.Count(); ++i)
        result.append(devices.GetItem(i).Description);
    return result;
}

TEST(Devices, AddAppendsZeroInitialisedItemsWithTheirOwnEndpointList) {
    TWASAPIDevices cards;
    EXPECT_EQ(cards.Count(), 0);
    TWASAPIDevice& card = cards.Add();
    EXPECT_TRUE(card.Description.isEmpty());
    EXPECT_TRUE(card.ID.isEmpty());
    EXPECT_EQ(card.DataFlow, 0);
    EXPECT_EQ(card.State, 0);
    EXPECT_EQ(card.SamplingRate, 0);
    EXPECT_EQ(card.Channels, 0);
    EXPECT_EQ(card.BitsPerSample, 0);
    ASSERT_NE(card.inputs, nullptr);
    EXPECT_EQ(card.inputs->Count(), 0);

    card.inputs->Add().Description = "Speakers";
    card.inputs->Add().Description = "Microphone";
    cards.Add().Description = "Second";
    // References stay valid as the collection grows.
    EXPECT_EQ(&cards.GetItem(0), &card);
    EXPECT_EQ(names(*cards.GetItem(0).inputs), QStringList({"Speakers", "Microphone"}));
    EXPECT_EQ(cards.GetItem(1).inputs->Count(), 0);
    EXPECT_THROW(cards.GetItem(2), std::out_of_range);
    EXPECT_THROW(cards.GetItem(-1), std::out_of_range);
}

TEST(Devices, MoveToFrontShiftsTheItemsBeforeItsOldPlace) {
    TWASAPIDevices cards;
    for (const char* name : {"A", "B", "C", "D"})
        cards.Add().Description = name;
    TWASAPIDevice* c = &cards.GetItem(2);
    cards.Move(2, 0);
    EXPECT_EQ(names(cards), QStringList({"C", "A", "B", "D"}));
    EXPECT_EQ(&cards.GetItem(0), c);
    cards.Move(0, 3);
    EXPECT_EQ(names(cards), QStringList({"A", "B", "D", "C"}));
    cards.Move(1, 1);
    EXPECT_EQ(names(cards), QStringList({"A", "B", "D", "C"}));
    EXPECT_THROW(cards.Move(4, 0), std::out_of_range);
    EXPECT_THROW(cards.Move(0, -1), std::out_of_range);
    EXPECT_EQ(cards.Count(), 4);
}

} // namespace
