#pragma once

#include <QList>
#include <QObject>
#include <QPointer>

#include <cstddef>
#include <map>
#include <memory>
#include <set>
#include <utility>

/// Bits of a hot-key value: bits 0 to 7 hold the key's virtual-key code (for letters and
/// digits the upper-case character code), the bits below name the modifiers.
inline constexpr quint32 HotKeyShift = 0x2000;
inline constexpr quint32 HotKeyCtrl = 0x4000;
inline constexpr quint32 HotKeyAlt = 0x8000;
inline constexpr quint32 HotKeyWin = 0x10000;
inline constexpr quint32 HotKeyModifierMask = HotKeyShift | HotKeyCtrl | HotKeyAlt | HotKeyWin;
inline constexpr quint32 HotKeyKeyMask = 0xFF;

/// Registers system-wide key combinations and reports their presses. One implementation
/// per window system; the manager below is the only caller. Window thread only.
class HotKeyBackend : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    /// Registers `modifiers` (HotKeyShift, HotKeyCtrl, HotKeyAlt, HotKeyWin) + `virtualKey`
    /// under `id`. False, with nothing registered, when another program holds the
    /// combination, it is registered here already, the key has no equivalent here, or `id`
    /// is 0 or already in use.
    virtual bool grab(quint16 id, quint32 modifiers, quint8 virtualKey) = 0;
    /// Unregisters what `id` registered; false when `id` is not registered.
    virtual bool ungrab(quint16 id) = 0;

signals:
    /// A registered combination was pressed. Receivers may delete the backend.
    void pressed(quint16 id, quint32 modifiers, quint8 virtualKey);
};

/// A backend for tests: registrations are kept in a table the test can read, other programs
/// are imitated by marking combinations as held, and presses are made by hand.
class FakeHotKeyBackend final : public HotKeyBackend {
    Q_OBJECT
public:
    /// Modifier bits and virtual key.
    using Combination = std::pair<quint32, quint8>;

    using HotKeyBackend::HotKeyBackend;

    bool grab(quint16 id, quint32 modifiers, quint8 virtualKey) override;
    bool ungrab(quint16 id) override;

    /// What is registered now, by identifier.
    const std::map<quint16, Combination>& registered() const { return m_registered; }
    /// From now on grabbing this combination fails, as if another program held it.
    void holdElsewhere(quint32 modifiers, quint8 virtualKey);
    void releaseElsewhere(quint32 modifiers, quint8 virtualKey);
    /// Makes every ungrab() fail (and keep the registration), as a broken system would.
    void setUngrabFails(bool fails) { m_ungrabFails = fails; }
    /// Presses the combination: emits pressed() when it is registered here. Returns whether
    /// it was.
    bool press(quint32 modifiers, quint8 virtualKey);

private:
    std::map<quint16, Combination> m_registered;
    std::set<Combination> m_heldElsewhere;
    bool m_ungrabFails = false;
};

/// The system-wide backend of this session: X11 key grabs on Qt's own connection when the
/// application runs on Qt's xcb platform, otherwise (Wayland, offscreen) none. Window thread,
/// after the QGuiApplication exists.
std::unique_ptr<HotKeyBackend> createHotKeyBackend();

/// Keeps the program's global hot keys: registers them through a backend, hands out an
/// identifier for each and reports their presses with value and identifier. Without a
/// backend nothing can be registered and AddHotKey always answers 0. Window thread only.
class THotKeyManager : public QObject {
    Q_OBJECT
public:
    /// Uses `backend` without owning it; it may be destroyed first (its keys are then gone).
    explicit THotKeyManager(HotKeyBackend* backend, QObject* parent = nullptr);
    /// Owns `backend` (may be null).
    explicit THotKeyManager(std::unique_ptr<HotKeyBackend> backend, QObject* parent = nullptr);
    /// No backend: every AddHotKey answers 0.
    explicit THotKeyManager(std::nullptr_t, QObject* parent = nullptr);
    /// ClearHotKeys, then the owned backend (if any) goes.
    ~THotKeyManager() override;

    /// Registers the hot-key value `HotKey` (modifier bits + virtual key in the low byte;
    /// other bits are ignored) and returns its identifier, a nonzero 16-bit value unique among
    /// the registrations of this process. Returns 0, keeping nothing, when there is no
    /// backend, the key is 0, the combination is already registered here, or the backend
    /// refuses it (typically: another program holds it).
    quint16 AddHotKey(quint32 HotKey);
    /// Unregisters every hot key, from the last to the first. Each entry leaves the list even
    /// when the backend fails to unregister it.
    void ClearHotKeys();

    /// Number of registered hot keys.
    int count() const { return static_cast<int>(m_entries.size()); }
    /// Whether a backend can register hot keys at all.
    bool hasBackend() const { return !m_backend.isNull(); }

signals:
    /// A registered hot key was pressed: its value (modifier bits + virtual key) and the
    /// identifier AddHotKey returned for it. Receivers may call ClearHotKeys or delete the
    /// manager.
    void OnHotKeyPressed(quint32 HotKey, quint16 Index);

private:
    struct Entry {
        quint32 hotKey;
        quint16 id;
    };

    void onPressed(quint16 id, quint32 modifiers, quint8 virtualKey);
    quint16 nextFreeId() const;

    std::unique_ptr<HotKeyBackend> m_ownedBackend;
    QPointer<HotKeyBackend> m_backend;
    QList<Entry> m_entries;
};
