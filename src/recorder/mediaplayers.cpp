#include "recorder/mediaplayers.h"

#include "common/clock.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>

#include <cmath>

namespace {

const QString Prefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString ObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString RootIface = QStringLiteral("org.mpris.MediaPlayer2");
const QString PlayerIface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString PropertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString BusService = QStringLiteral("org.freedesktop.DBus");
// The trackid that MPRIS reserves for "nothing loaded".
const QString NoTrack = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");

constexpr qint64 MaxHeardAheadUs = 5'000'000;
constexpr int HeardWindowMs = 320; ///< how long a player that answers 0 is asked again
constexpr int HeardRetryMs = 40;

qint64 nowMs() {
    return std::llround(monotonicMs());
}

QVariantMap toMap(const QVariant& v) {
    if (v.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
    return v.toMap();
}

QString toText(const QVariant& v) {
    if (v.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return v.value<QDBusObjectPath>().path();
    return v.toString();
}

/// A list of texts joined by ", "; some players send a single text where a list belongs.
QString joined(const QVariant& v) {
    QStringList texts;
    if (v.canConvert<QDBusArgument>())
        texts = qdbus_cast<QStringList>(v.value<QDBusArgument>());
    else if (v.metaType() == QMetaType::fromType<QStringList>())
        texts = v.toStringList();
    else
        texts = QStringList{v.toString()};
    texts.removeAll(QString());
    return texts.join(QStringLiteral(", "));
}

TrackInfo trackOf(const QVariantMap& m, const QString& player) {
    TrackInfo t;
    t.player = player;
    t.trackId = toText(m.value(QStringLiteral("mpris:trackid")));
    if (t.trackId == NoTrack)
        t.trackId.clear();
    t.title = m.value(QStringLiteral("xesam:title")).toString();
    t.artist = joined(m.value(QStringLiteral("xesam:artist")));
    t.album = m.value(QStringLiteral("xesam:album")).toString();
    t.trackNumber = m.value(QStringLiteral("xesam:trackNumber")).toInt();
    // An ISO 8601 date; only its year is kept.
    t.year = m.value(QStringLiteral("xesam:contentCreated")).toString().left(4).toInt();
    t.genre = joined(m.value(QStringLiteral("xesam:genre")));
    t.lengthUs = m.value(QStringLiteral("mpris:length")).toLongLong();
    t.artUrl = m.value(QStringLiteral("mpris:artUrl")).toString();
    return t;
}

bool sameDetails(const TrackInfo& a, const TrackInfo& b) {
    return a.title == b.title && a.artist == b.artist && a.album == b.album &&
           a.trackNumber == b.trackNumber && a.year == b.year && a.genre == b.genre &&
           a.lengthUs == b.lengthUs && a.artUrl == b.artUrl;
}

bool isEmpty(const TrackInfo& t) {
    return !t.isKnown();
}

} // namespace

MediaPlayerWatcher::MediaPlayerWatcher(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), m_bus(bus) {
    if (!m_bus.isConnected()) {
        m_settled = true; // nothing to read: nothing plays
        return;
    }
    // Qt turns the pattern into the bus's arg0namespace match, which takes whole name parts:
    // "org.mpris.MediaPlayer2.*" would match nothing. The players are sorted out by name below.
    m_watcher = new QDBusServiceWatcher(RootIface + QLatin1Char('*'), m_bus,
                                        QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &MediaPlayerWatcher::onOwnerChanged);
    // One match rule for every player: the bus only sends what concerns the Player interface.
    m_bus.connect(QString(), ObjectPath, PropertiesIface, QStringLiteral("PropertiesChanged"),
                  QStringList{PlayerIface}, QString(), this,
                  SLOT(onPropertiesChanged(QDBusMessage)));
    listPlayers();
}

MediaPlayerWatcher::~MediaPlayerWatcher() {
    if (m_bus.isConnected())
        m_bus.disconnect(QString(), ObjectPath, PropertiesIface,
                         QStringLiteral("PropertiesChanged"), QStringList{PlayerIface}, QString(),
                         this, SLOT(onPropertiesChanged(QDBusMessage)));
}

void MediaPlayerWatcher::setPlayer(const QString& busNameOrEmptyForAny) {
    m_follow = busNameOrEmptyForAny;
    follow(nowMs(), false);
}

QList<QPair<QString, QString>> MediaPlayerWatcher::players() const {
    QList<QPair<QString, QString>> result;
    for (auto it = m_players.cbegin(); it != m_players.cend(); ++it)
        result.append({it.key(), it->identity});
    return result;
}

TrackInfo MediaPlayerWatcher::current() const {
    const Player* p = followed();
    return p ? p->track : TrackInfo{};
}

qint64 MediaPlayerWatcher::trackStartedAtMs() const {
    const Player* p = followed();
    return p && !isEmpty(p->track) ? p->startedAtMs : -1;
}

void MediaPlayerWatcher::listPlayers() {
    const QDBusMessage list =
        QDBusMessage::createMethodCall(BusService, QStringLiteral("/org/freedesktop/DBus"),
                                       BusService, QStringLiteral("ListNames"));
    ++m_startLookups;
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(list), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QStringList names = call->reply().arguments().value(0).toStringList();
        for (const QString& name : names) {
            if (!name.startsWith(Prefix) || m_players.contains(name))
                continue;
            ++m_startLookups;
            QDBusMessage owner =
                QDBusMessage::createMethodCall(BusService, QStringLiteral("/org/freedesktop/DBus"),
                                               BusService, QStringLiteral("GetNameOwner"));
            owner << name;
            auto* ownerCall = new QDBusPendingCallWatcher(m_bus.asyncCall(owner), this);
            connect(ownerCall, &QDBusPendingCallWatcher::finished, this,
                    [this, name](QDBusPendingCallWatcher* ownerCall) {
                        ownerCall->deleteLater();
                        const QString owner = ownerCall->reply().arguments().value(0).toString();
                        // The service watcher may have told of it meanwhile; it knows better.
                        if (!owner.isEmpty() && !m_players.contains(name))
                            addPlayer(name, owner, true);
                        startLookupDone();
                    });
        }
        startLookupDone();
    });
}

void MediaPlayerWatcher::startLookupDone() {
    if (--m_startLookups > 0 || m_settled)
        return;
    m_settled = true;
    emit settled();
}

void MediaPlayerWatcher::onOwnerChanged(const QString& name, const QString&,
                                        const QString& newOwner) {
    if (!name.startsWith(Prefix))
        return;
    if (newOwner.isEmpty()) {
        if (m_players.remove(name) == 0)
            return;
        emit playersChanged();
        // A player that quits is no change: the next track of another one is.
        follow(nowMs(), false);
        return;
    }
    addPlayer(name, newOwner);
}

void MediaPlayerWatcher::addPlayer(const QString& name, const QString& owner, bool initial) {
    Player p;
    p.owner = owner;
    p.identity = name.mid(Prefix.size());
    p.generation = ++m_generation;
    m_players.insert(name, p);
    emit playersChanged();
    readPlayer(name, nowMs(), false, initial);
    readIdentity(name);
}

void MediaPlayerWatcher::readPlayer(const QString& name, qint64 atMs, bool report, bool initial) {
    QDBusMessage getAll =
        QDBusMessage::createMethodCall(name, ObjectPath, PropertiesIface, QStringLiteral("GetAll"));
    getAll << PlayerIface;
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(getAll), this);
    const quint64 generation = m_players.value(name).generation;
    if (initial)
        ++m_startLookups;
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, name, generation, atMs, report, initial](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                auto it = m_players.find(name);
                if (it != m_players.end() && it->generation == generation) {
                    // A player that does not answer still counts from its next signal on.
                    if (!call->isError())
                        apply(*it, name, toMap(call->reply().arguments().value(0)), atMs, report);
                    it->read = true;
                    follow(atMs, report);
                }
                if (initial)
                    startLookupDone();
            });
}

void MediaPlayerWatcher::readIdentity(const QString& name) {
    QDBusMessage get =
        QDBusMessage::createMethodCall(name, ObjectPath, PropertiesIface, QStringLiteral("Get"));
    get << RootIface << QStringLiteral("Identity");
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    const quint64 generation = m_players.value(name).generation;
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, name, generation](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                auto it = m_players.find(name);
                if (it == m_players.end() || it->generation != generation)
                    return;
                const QString identity = call->reply()
                                             .arguments()
                                             .value(0)
                                             .value<QDBusVariant>()
                                             .variant()
                                             .toString()
                                             .trimmed();
                if (identity.isEmpty() || identity == it->identity)
                    return;
                it->identity = identity;
                emit playersChanged();
            });
}

void MediaPlayerWatcher::onPropertiesChanged(const QDBusMessage& message) {
    const qint64 atMs = nowMs();
    const QList<QVariant> args = message.arguments();
    if (args.value(0).toString() != PlayerIface)
        return;
    const QVariantMap changed = toMap(args.value(1));
    const QStringList invalidated = args.value(2).toStringList();
    bool report = false;
    for (auto it = m_players.begin(); it != m_players.end(); ++it) {
        if (it->owner != message.service())
            continue;
        // Before its state was first read, what a player says is what it played on appearing.
        report = report || it->read;
        apply(*it, it.key(), changed, atMs, it->read);
        if (invalidated.contains(QStringLiteral("Metadata")) ||
            invalidated.contains(QStringLiteral("PlaybackStatus")))
            readPlayer(it.key(), atMs, it->read);
    }
    follow(atMs, report);
}

void MediaPlayerWatcher::apply(Player& player, const QString& name, const QVariantMap& changed,
                               qint64 atMs, bool report) {
    const bool wasPlaying = player.playing;
    const auto status = changed.find(QStringLiteral("PlaybackStatus"));
    if (status != changed.end())
        player.playing = status->toString() == QLatin1String("Playing");
    const auto metadata = changed.find(QStringLiteral("Metadata"));
    if (metadata != changed.end()) {
        const TrackInfo track = trackOf(toMap(*metadata), name);
        // A player that clears its metadata (stopped, end of the list) keeps its last track.
        if (!isEmpty(track)) {
            if (player.track.isOtherTrack(track)) {
                player.startedAtMs = report ? atMs : -1;
                if (report)
                    player.activeOrder = ++m_activeCount;
            }
            player.track = track;
        }
    }
    if (player.playing && !wasPlaying)
        player.activeOrder = ++m_activeCount;
}

const MediaPlayerWatcher::Player* MediaPlayerWatcher::followed() const {
    if (!m_follow.isEmpty()) {
        const auto it = m_players.find(m_follow);
        return it == m_players.end() ? nullptr : &*it;
    }
    const Player* best = nullptr;
    for (const Player& p : m_players)
        if (!isEmpty(p.track) && (!best || p.activeOrder > best->activeOrder))
            best = &p;
    return best;
}

void MediaPlayerWatcher::follow(qint64 atMs, bool report) {
    const Player* p = followed();
    if (!p || isEmpty(p->track))
        return;
    const bool other =
        p->track.player != m_followedTrack.player || m_followedTrack.isOtherTrack(p->track);
    const bool filledIn = !other && !sameDetails(p->track, m_followedTrack);
    // A player that appears with a track while nothing played is the start of that track:
    // what was recorded before it is no part of it.
    const bool fromNothing = m_settled && !m_followedTrack.isKnown();
    m_followedTrack = p->track;
    if (other && (report || fromNothing)) {
        emit trackChanged(m_followedTrack, atMs);
        askWhenHeard(m_followedTrack);
    } else if (filledIn && report) {
        emit trackUpdated(m_followedTrack);
        // Some answer the position of the last track until the new one is set up.
        askWhenHeard(m_followedTrack);
    }
}

void MediaPlayerWatcher::askWhenHeard(const TrackInfo& track, double firstAskedMs) {
    // A player announces a track as it starts decoding it, while what it has buffered of the
    // last one still plays. Its position counts what is heard (negative until the track is),
    // so the answer tells when the new track is heard. Some answer exactly 0 until they know;
    // they are asked again for a moment. No answer, or none that tells, gives -1.
    QDBusMessage get = QDBusMessage::createMethodCall(track.player, ObjectPath, PropertiesIface,
                                                      QStringLiteral("Get"));
    get << PlayerIface << QStringLiteral("Position");
    auto* call = new QDBusPendingCallWatcher(m_bus.asyncCall(get, HeardWindowMs), this);
    const double askedMs = monotonicMs();
    if (firstAskedMs <= 0)
        firstAskedMs = askedMs;
    connect(call, &QDBusPendingCallWatcher::finished, this,
            [this, track, askedMs, firstAskedMs](QDBusPendingCallWatcher* call) {
                call->deleteLater();
                if (m_followedTrack.player != track.player || m_followedTrack.isOtherTrack(track))
                    return;
                bool ok = false;
                const qint64 positionUs =
                    call->reply().arguments().value(0).value<QDBusVariant>().variant().toLongLong(
                        &ok);
                if (ok && positionUs == 0 && monotonicMs() - firstAskedMs < HeardWindowMs) {
                    QTimer::singleShot(HeardRetryMs, this, [this, track, firstAskedMs] {
                        askWhenHeard(track, firstAskedMs);
                    });
                    return;
                }
                // More than a few seconds ahead is no buffer but a player's odd idea.
                if (call->isError() || !ok || positionUs == 0 || positionUs < -MaxHeardAheadUs) {
                    emit trackHeard(track, -1);
                    return;
                }
                // Halfway through the round trip is when the player answered.
                const double answeredMs = (askedMs + monotonicMs()) / 2;
                emit trackHeard(track, std::llround(answeredMs - positionUs / 1000.0));
            });
}
