#pragma once

#include "common/trackinfo.h"

#include <QDBusConnection>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>
#include <QVariantMap>

class QDBusMessage;
class QDBusServiceWatcher;

/// Follows the media players of a D-Bus session (every org.mpris.MediaPlayer2.* name, as
/// they come and go) and tells when the one it follows changes track. It only answers the
/// players' own signals, so it costs nothing between them. Without a bus, or without a
/// player, it simply waits.
///
/// What counts as a track change: another track reported by the followed player (another
/// mpris:trackid, or another title or artist when the player gives no trackid), whatever its
/// playback status at that moment; so a track changed while paused is cut where it was
/// reported. Pause, stop, play again, a seek and a player that clears its metadata are no
/// change, and neither is what a player already plays when the watcher starts, or when it
/// appears while another track is known. With "any player", the followed player is the one that most recently started
/// playing or changed track, so that a second player starting another track is a change.
///
/// Window thread.
class MediaPlayerWatcher : public QObject {
    Q_OBJECT
public:
    explicit MediaPlayerWatcher(const QDBusConnection& bus = QDBusConnection::sessionBus(),
                                QObject* parent = nullptr);
    ~MediaPlayerWatcher() override;

    /// The bus name of the player to follow ("org.mpris.MediaPlayer2.NAME"); empty for any
    /// player. Not a change in itself.
    void setPlayer(const QString& busNameOrEmptyForAny);
    QString player() const { return m_follow; }

    /// The players on the bus now, by bus name, each with the name it shows to users.
    QList<QPair<QString, QString>> players() const;

    /// The followed player's current track; empty when there is none.
    TrackInfo current() const;
    /// When the current track began (monotonicMs()); -1 when it began before the watcher saw
    /// it, or when there is no track.
    qint64 trackStartedAtMs() const;
    /// Whether the players on the bus when the watcher started have all been read (or the
    /// bus did not answer), so that current() tells what plays.
    bool isSettled() const { return m_settled; }

signals:
    /// The followed player went on to another track; `atMs` is monotonicMs() when its
    /// signal arrived.
    void trackChanged(const TrackInfo& track, qint64 atMs);
    /// The followed player told more of the same track (some give its title first and the
    /// rest a moment later).
    void trackUpdated(const TrackInfo& track);
    /// After trackChanged (and trackUpdated): when the player says the track began to be
    /// heard (monotonicMs(), from its position); -1 when it does not tell. Within about a
    /// third of a second.
    void trackHeard(const TrackInfo& track, qint64 atMs);
    /// A player came, went or told its name.
    void playersChanged();
    /// The players found at the start have been read; once.
    void settled();

private slots:
    void onPropertiesChanged(const QDBusMessage& message);
    void onOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);

private:
    struct Player {
        QString owner;          ///< the unique name its signals come from
        QString identity;       ///< the name it shows; its bus name's end until read
        quint64 generation = 0; ///< tells replies for an earlier owner of the name apart
        bool read = false;      ///< its state was read once
        bool playing = false;
        TrackInfo track;         ///< its last track; not cleared when it clears its metadata
        qint64 startedAtMs = -1; ///< when `track` began, -1 when before the watcher saw it
        quint64 activeOrder = 0; ///< when it last started playing or changed track, as a count
    };

    void listPlayers();
    void addPlayer(const QString& name, const QString& owner, bool initial = false);
    void readPlayer(const QString& name, qint64 atMs, bool report, bool initial = false);
    /// One of the start's look-ups has come back.
    void startLookupDone();
    void readIdentity(const QString& name);
    void apply(Player& player, const QString& name, const QVariantMap& changed, qint64 atMs,
               bool report);
    const Player* followed() const;
    void follow(qint64 atMs, bool report);
    void askWhenHeard(const TrackInfo& track, double firstAskedMs = 0);

    QDBusConnection m_bus;
    QDBusServiceWatcher* m_watcher = nullptr;
    QMap<QString, Player> m_players;
    QString m_follow;
    TrackInfo m_followedTrack; ///< what the followed player played when last looked at
    quint64 m_generation = 0;
    quint64 m_activeCount = 0;
    int m_startLookups = 0; ///< look-ups of the start still on their way
    bool m_settled = false;
};
