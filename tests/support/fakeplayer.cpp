#include "support/fakeplayer.h"

#include "common/clock.h"

#include <QAtomicInt>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutexLocker>

#include <cmath>
#include <cstdio>

namespace {

const QString ObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString RootIface = QStringLiteral("org.mpris.MediaPlayer2");
const QString PlayerIface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString PropertiesIface = QStringLiteral("org.freedesktop.DBus.Properties");

QVariantMap metadataOf(const TrackInfo& track) {
    QVariantMap m;
    if (!track.trackId.isEmpty())
        m.insert(QStringLiteral("mpris:trackid"),
                 QVariant::fromValue(QDBusObjectPath(track.trackId)));
    if (!track.title.isEmpty())
        m.insert(QStringLiteral("xesam:title"), track.title);
    if (!track.artist.isEmpty())
        m.insert(QStringLiteral("xesam:artist"), track.artist.split(QStringLiteral(", ")));
    if (!track.album.isEmpty())
        m.insert(QStringLiteral("xesam:album"), track.album);
    if (track.trackNumber > 0)
        m.insert(QStringLiteral("xesam:trackNumber"), track.trackNumber);
    if (track.year > 0)
        m.insert(QStringLiteral("xesam:contentCreated"),
                 QStringLiteral("%1-01-01T00:00:00").arg(track.year));
    if (!track.genre.isEmpty())
        m.insert(QStringLiteral("xesam:genre"), track.genre.split(QStringLiteral(", ")));
    if (track.lengthUs > 0)
        m.insert(QStringLiteral("mpris:length"), qint64(track.lengthUs));
    if (!track.artUrl.isEmpty())
        m.insert(QStringLiteral("mpris:artUrl"), track.artUrl);
    return m;
}

} // namespace

/// The object at /org/mpris/MediaPlayer2. Qt D-Bus may call it from its own thread, so the
/// properties are behind a lock.
class FakePlayer::Object : public QDBusVirtualObject {
public:
    explicit Object(const QString& identity) : m_identity(identity) {}

    QMutex lock;
    QString status = QStringLiteral("Stopped");
    QVariantMap metadata;
    double heardFromMs = 0;

    QString introspect(const QString&) const override {
        return QStringLiteral(
            "<interface name=\"org.mpris.MediaPlayer2\">"
            "<property name=\"Identity\" type=\"s\" access=\"read\"/></interface>"
            "<interface name=\"org.mpris.MediaPlayer2.Player\">"
            "<property name=\"PlaybackStatus\" type=\"s\" access=\"read\"/>"
            "<property name=\"Metadata\" type=\"a{sv}\" access=\"read\"/>"
            "<property name=\"Position\" type=\"x\" access=\"read\"/>"
            "<signal name=\"Seeked\"><arg name=\"Position\" type=\"x\"/></signal></interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.interface() != PropertiesIface)
            return false;
        const QString iface = message.arguments().value(0).toString();
        const QVariantMap all = properties(iface);
        if (message.member() == QLatin1String("GetAll")) {
            connection.send(message.createReply(QVariant::fromValue(all)));
            return true;
        }
        if (message.member() == QLatin1String("Get")) {
            const QString name = message.arguments().value(1).toString();
            if (!all.contains(name))
                connection.send(message.createErrorReply(
                    QStringLiteral("org.freedesktop.DBus.Error.UnknownProperty"), name));
            else
                connection.send(
                    message.createReply(QVariant::fromValue(QDBusVariant(all.value(name)))));
            return true;
        }
        return false;
    }

private:
    QVariantMap properties(const QString& iface) {
        QMutexLocker locked(&lock);
        if (iface == RootIface)
            return {{QStringLiteral("Identity"), m_identity}};
        if (iface == PlayerIface) {
            QVariantMap all{{QStringLiteral("PlaybackStatus"), status},
                            {QStringLiteral("Metadata"), metadata}};
            if (heardFromMs > 0)
                all.insert(QStringLiteral("Position"),
                           qint64(std::llround((monotonicMs() - heardFromMs) * 1000)));
            return all;
        }
        return {};
    }

    const QString m_identity;
};

FakePlayer::FakePlayer(const QString& busAddress, const QString& name)
    : m_busName(QStringLiteral("org.mpris.MediaPlayer2.") + name), m_connectionName([&] {
          static QAtomicInt count;
          return QStringLiteral("fakeplayer-%1-%2").arg(name).arg(count.fetchAndAddRelaxed(1));
      }()),
      m_bus(QDBusConnection::connectToBus(busAddress, m_connectionName)),
      m_object(std::make_unique<Object>(QStringLiteral("Fake ") + name)) {}

FakePlayer::~FakePlayer() {
    vanish();
}

bool FakePlayer::appear() {
    if (!m_bus.registerVirtualObject(ObjectPath, m_object.get())) {
        std::fprintf(stderr, "fake player: cannot export its object: %s\n",
                     qPrintable(m_bus.lastError().message()));
        return false;
    }
    if (!m_bus.registerService(m_busName)) {
        std::fprintf(stderr, "fake player: cannot take %s: %s\n", qPrintable(m_busName),
                     qPrintable(m_bus.lastError().message()));
        return false;
    }
    m_appeared = true;
    return true;
}

void FakePlayer::vanish() {
    if (!m_object)
        return;
    if (m_appeared) {
        m_bus.unregisterService(m_busName);
        m_bus.unregisterObject(ObjectPath);
    }
    m_appeared = false;
    QDBusConnection::disconnectFromBus(m_connectionName);
    m_bus = QDBusConnection(QString());
    m_object.reset();
}

void FakePlayer::play(const TrackInfo& track) {
    set(QStringLiteral("Playing"), metadataOf(track));
}

void FakePlayer::pause() {
    if (!m_object)
        return;
    QVariantMap metadata;
    {
        QMutexLocker locked(&m_object->lock);
        metadata = m_object->metadata;
    }
    set(QStringLiteral("Paused"), metadata);
}

void FakePlayer::stop() {
    set(QStringLiteral("Stopped"), {});
}

void FakePlayer::seek(qint64 positionUs) {
    QDBusMessage seeked =
        QDBusMessage::createSignal(ObjectPath, PlayerIface, QStringLiteral("Seeked"));
    seeked << positionUs;
    m_bus.send(seeked);
}

void FakePlayer::setHeardFrom(double monotonicMs) {
    if (!m_object)
        return;
    QMutexLocker locked(&m_object->lock);
    m_object->heardFromMs = monotonicMs;
}

void FakePlayer::set(const QString& status, const QVariantMap& metadata) {
    if (!m_object)
        return;
    QVariantMap changed;
    {
        QMutexLocker locked(&m_object->lock);
        if (m_object->metadata != metadata)
            changed.insert(QStringLiteral("Metadata"), metadata);
        if (m_object->status != status)
            changed.insert(QStringLiteral("PlaybackStatus"), status);
        m_object->metadata = metadata;
        m_object->status = status;
    }
    if (changed.isEmpty() || !m_appeared)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(ObjectPath, PropertiesIface,
                                                     QStringLiteral("PropertiesChanged"));
    signal << PlayerIface << changed << QStringList();
    m_bus.send(signal);
}
