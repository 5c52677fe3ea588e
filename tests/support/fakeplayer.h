#pragma once

#include "common/trackinfo.h"

#include <QDBusConnection>
#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <memory>

/// A media player on a D-Bus session, as the tests need one: it owns
/// org.mpris.MediaPlayer2.<name> on a connection of its own, answers the properties of the
/// org.mpris.MediaPlayer2 and org.mpris.MediaPlayer2.Player interfaces and announces each
/// change with PropertiesChanged (and a seek with Seeked), only what changed, as real players
/// do.
class FakePlayer {
public:
    FakePlayer(const QString& busAddress, const QString& name);
    ~FakePlayer();
    FakePlayer(const FakePlayer&) = delete;
    FakePlayer& operator=(const FakePlayer&) = delete;

    /// Takes the player's name on the bus; false (with the reason on stderr) when it cannot.
    bool appear();
    /// Gives the name up and closes the connection, as a player that quits.
    void vanish();

    /// Plays `track` (TrackInfo::player is not used; an empty trackId publishes none).
    void play(const TrackInfo& track);
    void pause();
    void stop();
    /// Jumps within the current track.
    void seek(qint64 positionUs);
    /// From now on it answers its Position as the time since `monotonicMs` (negative before
    /// it), as a player whose track is heard from then; until called it has no Position.
    void setHeardFrom(double monotonicMs);

    QString busName() const { return m_busName; }

    class Object;

private:
    void set(const QString& status, const QVariantMap& metadata);

    QString m_busName;
    QString m_connectionName;
    QDBusConnection m_bus;
    std::unique_ptr<Object> m_object;
    bool m_appeared = false;
};
