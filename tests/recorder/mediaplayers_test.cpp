// The media-player watcher against fake players on a D-Bus session of the test's own.
#include "recorder/mediaplayers.h"
#include "support/eventloop.h"
#include "support/fakeplayer.h"
#include "support/privatebus.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TrackInfo track(const QString& trackId, const QString& title) {
    TrackInfo t;
    t.trackId = trackId;
    t.title = title;
    t.artist = QStringLiteral("Ann Example, Bo Example");
    t.album = QStringLiteral("Tones");
    t.trackNumber = 3;
    t.year = 2019;
    t.genre = QStringLiteral("Test");
    t.lengthUs = 180000000;
    t.artUrl = QStringLiteral("file:///tmp/cover.png");
    return t;
}

/// The titles of the tracks a watcher reported, in order.
struct Changes {
    explicit Changes(MediaPlayerWatcher& watcher) {
        QObject::connect(&watcher, &MediaPlayerWatcher::trackChanged,
                         [this](const TrackInfo& t, qint64 atMs) {
                             titles.push_back(t.title);
                             EXPECT_GE(atMs, 0);
                         });
    }
    std::vector<QString> titles;
};

bool hasPlayer(const MediaPlayerWatcher& watcher, const QString& busName) {
    for (const auto& p : watcher.players())
        if (p.first == busName)
            return true;
    return false;
}

/// The name a player shows; read after its state, so once it is there, what the player does
/// next is news.
QString identityOf(const MediaPlayerWatcher& watcher, const QString& busName) {
    for (const auto& p : watcher.players())
        if (p.first == busName)
            return p.second;
    return {};
}

using Titles = std::vector<QString>;

} // namespace

TEST(MediaPlayerWatcher, ReportsOnlyTrackChangesOfTheFollowedPlayer) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "the private D-Bus session did not start";
    QDBusConnection connection =
        QDBusConnection::connectToBus(bus.address, QStringLiteral("mediaplayers-test"));
    ASSERT_TRUE(connection.isConnected());
    {
        FakePlayer one(bus.address, QStringLiteral("one"));
        FakePlayer two(bus.address, QStringLiteral("two"));
        FakePlayer radio(bus.address, QStringLiteral("radio"));
        FakePlayer late(bus.address, QStringLiteral("late"));

        // What a player already plays when the watcher starts is no change.
        one.play(track(QStringLiteral("/t/a"), QStringLiteral("A")));
        ASSERT_TRUE(one.appear());
        MediaPlayerWatcher follows(connection);
        follows.setPlayer(one.busName());
        MediaPlayerWatcher any(connection);
        Changes followsChanges(follows), anyChanges(any);
        ASSERT_TRUE(processUntil([&] {
            return follows.current().title == QLatin1String("A") &&
                   any.current().title == QLatin1String("A");
        }));
        const TrackInfo a = follows.current();
        EXPECT_EQ(a.player, one.busName());
        EXPECT_EQ(a.trackId, QLatin1String("/t/a"));
        EXPECT_EQ(a.artist, QLatin1String("Ann Example, Bo Example"));
        EXPECT_EQ(a.album, QLatin1String("Tones"));
        EXPECT_EQ(a.trackNumber, 3);
        EXPECT_EQ(a.year, 2019);
        EXPECT_EQ(a.genre, QLatin1String("Test"));
        EXPECT_EQ(a.lengthUs, 180000000);
        EXPECT_EQ(a.artUrl, QLatin1String("file:///tmp/cover.png"));
        EXPECT_EQ(follows.trackStartedAtMs(), -1);
        ASSERT_TRUE(processUntil(
            [&] { return identityOf(follows, one.busName()) == QLatin1String("Fake one"); }));
        EXPECT_EQ(follows.players().size(), 1);

        one.play(track(QStringLiteral("/t/b"), QStringLiteral("B")));
        ASSERT_TRUE(processUntil([&] { return followsChanges.titles.size() == 1; }));
        EXPECT_EQ(followsChanges.titles, Titles{QStringLiteral("B")});
        EXPECT_GE(follows.trackStartedAtMs(), 0);

        // Pause, play again and a seek are no change: the next track, reported after them by
        // the same player, is the next one in the list.
        one.pause();
        one.play(track(QStringLiteral("/t/b"), QStringLiteral("B")));
        one.seek(60000000);
        one.play(track(QStringLiteral("/t/d"), QStringLiteral("D")));
        ASSERT_TRUE(processUntil(
            [&] { return followsChanges.titles.size() == 2 && anyChanges.titles.size() == 2; }));
        EXPECT_EQ(followsChanges.titles, (Titles{QStringLiteral("B"), QStringLiteral("D")}));
        EXPECT_EQ(anyChanges.titles, (Titles{QStringLiteral("B"), QStringLiteral("D")}));

        // Another player's track is only a change for a watcher of any player.
        ASSERT_TRUE(two.appear());
        ASSERT_TRUE(processUntil(
            [&] { return identityOf(any, two.busName()) == QLatin1String("Fake two"); }));
        two.play(track(QStringLiteral("/t/c"), QStringLiteral("C")));
        ASSERT_TRUE(processUntil([&] { return anyChanges.titles.size() == 3; }));
        EXPECT_EQ(anyChanges.titles.back(), QLatin1String("C"));
        EXPECT_EQ(any.current().player, two.busName());

        // A player without trackid changes title.
        radio.play(track(QString(), QStringLiteral("Morning show")));
        ASSERT_TRUE(radio.appear());
        ASSERT_TRUE(
            processUntil([&] { return any.current().title == QLatin1String("Morning show"); }));
        EXPECT_EQ(anyChanges.titles.size(), 3u) << "a player that appears is no change";
        radio.play(track(QString(), QStringLiteral("News")));
        ASSERT_TRUE(processUntil([&] { return anyChanges.titles.size() == 4; }));
        EXPECT_EQ(anyChanges.titles.back(), QLatin1String("News"));

        // Players that quit are dropped; the followed one leaves no track behind.
        radio.vanish();
        one.vanish();
        ASSERT_TRUE(processUntil([&] {
            return !hasPlayer(any, radio.busName()) && !hasPlayer(follows, one.busName());
        }));
        EXPECT_TRUE(hasPlayer(any, two.busName()));
        EXPECT_TRUE(follows.current().title.isEmpty());
        EXPECT_EQ(any.current().title, QLatin1String("C"));
        EXPECT_EQ(followsChanges.titles, (Titles{QStringLiteral("B"), QStringLiteral("D")}));

        // A player that appears with a track while nothing was known starts that track.
        MediaPlayerWatcher waits(connection);
        waits.setPlayer(late.busName());
        Changes waitsChanges(waits);
        ASSERT_TRUE(processUntil([&] { return waits.isSettled(); }));
        late.play(track(QStringLiteral("/t/e"), QStringLiteral("E")));
        ASSERT_TRUE(late.appear());
        ASSERT_TRUE(processUntil([&] { return waitsChanges.titles.size() == 1; }));
        EXPECT_EQ(waitsChanges.titles, Titles{QStringLiteral("E")});
    }
    QDBusConnection::disconnectFromBus(QStringLiteral("mediaplayers-test"));
}

TEST(MediaPlayerWatcher, WaitsWithoutABus) {
    MediaPlayerWatcher watcher{QDBusConnection(QStringLiteral("no-such-connection"))};
    watcher.setPlayer(QStringLiteral("org.mpris.MediaPlayer2.one"));
    QCoreApplication::processEvents();
    EXPECT_TRUE(watcher.players().isEmpty());
    EXPECT_TRUE(watcher.current().title.isEmpty());
    EXPECT_EQ(watcher.trackStartedAtMs(), -1);
}
