#include "hotkeys.h"

#include "x11hotkeys.h"

#include <QtGlobal>

#include <algorithm>

namespace {

// Identifiers are taken from the range of global atoms, which leaves 0 free to mean "not
// registered".
constexpr quint32 FirstId = 0xC000;
constexpr quint32 LastId = 0xFFFF;

quint32 normalized(quint32 hotKey) {
    return hotKey & (HotKeyModifierMask | HotKeyKeyMask);
}

} // namespace

bool FakeHotKeyBackend::grab(quint16 id, quint32 modifiers, quint8 virtualKey) {
    const Combination combination{modifiers & HotKeyModifierMask, virtualKey};
    if (id == 0 || virtualKey == 0 || m_registered.count(id) != 0 ||
        m_heldElsewhere.count(combination) != 0)
        return false;
    const bool taken = std::any_of(m_registered.begin(), m_registered.end(),
                                   [&](const auto& item) { return item.second == combination; });
    if (taken)
        return false;
    m_registered.emplace(id, combination);
    return true;
}

bool FakeHotKeyBackend::ungrab(quint16 id) {
    if (m_ungrabFails)
        return false;
    return m_registered.erase(id) != 0;
}

void FakeHotKeyBackend::holdElsewhere(quint32 modifiers, quint8 virtualKey) {
    m_heldElsewhere.insert({modifiers & HotKeyModifierMask, virtualKey});
}

void FakeHotKeyBackend::releaseElsewhere(quint32 modifiers, quint8 virtualKey) {
    m_heldElsewhere.erase({modifiers & HotKeyModifierMask, virtualKey});
}

bool FakeHotKeyBackend::press(quint32 modifiers, quint8 virtualKey) {
    const Combination combination{modifiers & HotKeyModifierMask, virtualKey};
    const auto found = std::find_if(m_registered.begin(), m_registered.end(),
                                    [&](const auto& item) { return item.second == combination; });
    if (found == m_registered.end())
        return false;
    emit pressed(found->first, combination.first, combination.second);
    return true;
}

std::unique_ptr<HotKeyBackend> createHotKeyBackend() {
    return X11HotKeyBackend::create();
}

THotKeyManager::THotKeyManager(HotKeyBackend* backend, QObject* parent)
    : QObject(parent), m_backend(backend) {
    if (backend)
        connect(backend, &HotKeyBackend::pressed, this, &THotKeyManager::onPressed);
}

THotKeyManager::THotKeyManager(std::unique_ptr<HotKeyBackend> backend, QObject* parent)
    : THotKeyManager(backend.get(), parent) {
    m_ownedBackend = std::move(backend);
}

THotKeyManager::THotKeyManager(std::nullptr_t, QObject* parent)
    : THotKeyManager(static_cast<HotKeyBackend*>(nullptr), parent) {}

THotKeyManager::~THotKeyManager() {
    ClearHotKeys();
}

quint16 THotKeyManager::AddHotKey(quint32 HotKey) {
    const quint32 value = normalized(HotKey);
    const auto virtualKey = static_cast<quint8>(value & HotKeyKeyMask);
    if (!m_backend || virtualKey == 0)
        return 0;
    const bool known = std::any_of(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return normalized(entry.hotKey) == value;
    });
    if (known)
        return 0;
    const quint16 id = nextFreeId();
    if (id == 0 || !m_backend->grab(id, value & HotKeyModifierMask, virtualKey))
        return 0;
    m_entries.append({HotKey, id});
    return id;
}

void THotKeyManager::ClearHotKeys() {
    while (!m_entries.isEmpty()) {
        const Entry entry = m_entries.takeLast();
        if (m_backend && !m_backend->ungrab(entry.id))
            qWarning("Could not unregister the global hot key 0x%x.", unsigned(entry.hotKey));
    }
}

void THotKeyManager::onPressed(quint16 id, quint32 modifiers, quint8 virtualKey) {
    Q_UNUSED(id);
    const quint32 value = (modifiers & HotKeyModifierMask) | virtualKey;
    const auto found = std::find_if(m_entries.begin(), m_entries.end(), [&](const Entry& entry) {
        return normalized(entry.hotKey) == value;
    });
    if (found == m_entries.end())
        return;
    // The receiver may clear the list or delete us: nothing may follow the emission.
    emit OnHotKeyPressed(value, found->id);
}

quint16 THotKeyManager::nextFreeId() const {
    // One counter for the whole process, like the system's atom table, so that two managers
    // on one backend never hand out the same identifier, and an identifier is not reused
    // soon after it was freed.
    static quint32 next = FirstId;
    for (quint32 tries = 0; tries <= LastId - FirstId; ++tries) {
        const auto id = static_cast<quint16>(next);
        next = next == LastId ? FirstId : next + 1;
        const bool used = std::any_of(m_entries.begin(), m_entries.end(),
                                      [id](const Entry& entry) { return entry.id == id; });
        if (!used)
            return id;
    }
    return 0;
}
