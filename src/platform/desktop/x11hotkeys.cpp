#include "x11hotkeys.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QtGlobal>
#include <qguiapplication_platform.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace {

struct FreeDeleter {
    void operator()(void* memory) const { std::free(memory); }
};
// Replies, errors and keycode lists of xcb are malloc'ed.
template <typename T> using XcbPointer = std::unique_ptr<T, FreeDeleter>;

struct KeySymbolsDeleter {
    void operator()(xcb_key_symbols_t* symbols) const { xcb_key_symbols_free(symbols); }
};
using KeySymbols = std::unique_ptr<xcb_key_symbols_t, KeySymbolsDeleter>;

constexpr xcb_keysym_t NoKeySym = 0;
constexpr xcb_keysym_t NumLockKeySym = 0xff7f;

// Modifiers that tell combinations apart; the pointer buttons' bits are not among them.
constexpr uint16_t ModifierBits = XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL |
                                  XCB_MOD_MASK_1 | XCB_MOD_MASK_2 | XCB_MOD_MASK_3 |
                                  XCB_MOD_MASK_4 | XCB_MOD_MASK_5;

// A key still held down repeats within this time; a release lost to another grab must not
// silence the hot key for longer.
constexpr xcb_timestamp_t RepeatWindowMs = 1000;

// XKB's event subtypes, in the byte after the response type.
constexpr uint8_t XkbNewKeyboardNotify = 0;
constexpr uint8_t XkbMapNotify = 1;

struct KeyName {
    quint8 virtualKey;
    xcb_keysym_t keysym;
};
constexpr KeyName NamedKeys[] = {
    {0x08, 0xff08}, // BackSpace
    {0x09, 0xff09}, // Tab
    {0x0D, 0xff0d}, // Return
    {0x13, 0xff13}, // Pause
    {0x1B, 0xff1b}, // Escape
    {0x20, 0x0020}, // space
    {0x21, 0xff55}, // Prior
    {0x22, 0xff56}, // Next
    {0x23, 0xff57}, // End
    {0x24, 0xff50}, // Home
    {0x25, 0xff51}, // Left
    {0x26, 0xff52}, // Up
    {0x27, 0xff53}, // Right
    {0x28, 0xff54}, // Down
    {0x2D, 0xff63}, // Insert
    {0x2E, 0xffff}, // Delete
};

xcb_keysym_t keysymFor(quint8 virtualKey) {
    // A letter's key is found by the symbol it types without Shift.
    if (virtualKey >= 'A' && virtualKey <= 'Z')
        return 'a' + (virtualKey - 'A');
    if (virtualKey >= '0' && virtualKey <= '9')
        return virtualKey;
    if (virtualKey >= 0x60 && virtualKey <= 0x69)
        return 0xffb0 + (virtualKey - 0x60); // KP_0 to KP_9
    if (virtualKey >= 0x70 && virtualKey <= 0x87)
        return 0xffbe + (virtualKey - 0x70); // F1 to F24
    for (const KeyName& key : NamedKeys) {
        if (key.virtualKey == virtualKey)
            return key.keysym;
    }
    return NoKeySym;
}

uint16_t xModifiersFor(quint32 modifiers) {
    uint16_t mask = 0;
    if (modifiers & HotKeyShift)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & HotKeyCtrl)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & HotKeyAlt)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & HotKeyWin)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

struct Registration {
    quint32 modifiers = 0;
    quint8 virtualKey = 0;
    xcb_keysym_t keysym = NoKeySym;
    uint16_t xModifiers = 0;
    // The keys that carried the symbol, and Num Lock's modifier, when the grabs were made.
    std::vector<xcb_keycode_t> keycodes;
    uint16_t numLockMask = 0;

    bool down = false;
    xcb_timestamp_t lastPress = 0;
    std::optional<xcb_timestamp_t> lastRelease;
};

} // namespace

struct X11HotKeyBackend::Private {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = XCB_NONE;
    KeySymbols symbols;
    uint16_t numLockMask = XCB_MOD_MASK_2;
    uint8_t xkbFirstEvent = 0; // 0 without XKB
    std::map<quint16, Registration> registrations;

    // The connection dies with the QGuiApplication; the X server then drops our grabs itself.
    bool usable() const {
        return QCoreApplication::instance() && !xcb_connection_has_error(connection);
    }
    std::vector<xcb_keycode_t> keycodesFor(xcb_keysym_t keysym) const;
    void updateNumLockMask();
    std::vector<uint16_t> variants(const Registration& registration) const;
    // False, with nothing left grabbed, when a combination without the lock modifiers failed.
    bool grabKeys(const Registration& registration);
    void ungrabKeys(const Registration& registration);
    void remap();
};

std::vector<xcb_keycode_t> X11HotKeyBackend::Private::keycodesFor(xcb_keysym_t keysym) const {
    std::vector<xcb_keycode_t> keycodes;
    if (!symbols)
        return keycodes;
    const XcbPointer<xcb_keycode_t> list(xcb_key_symbols_get_keycode(symbols.get(), keysym));
    if (!list)
        return keycodes;
    for (const xcb_keycode_t* code = list.get(); *code != XCB_NO_SYMBOL; ++code) {
        if (std::find(keycodes.begin(), keycodes.end(), *code) == keycodes.end())
            keycodes.push_back(*code);
    }
    return keycodes;
}

void X11HotKeyBackend::Private::updateNumLockMask() {
    uint16_t mask = 0;
    const std::vector<xcb_keycode_t> numLockCodes = keycodesFor(NumLockKeySym);
    const XcbPointer<xcb_get_modifier_mapping_reply_t> reply(
        xcb_get_modifier_mapping_reply(connection, xcb_get_modifier_mapping(connection), nullptr));
    if (reply && !numLockCodes.empty()) {
        const xcb_keycode_t* codes = xcb_get_modifier_mapping_keycodes(reply.get());
        const int perModifier = reply->keycodes_per_modifier;
        for (int modifier = 0; modifier < 8 && mask == 0; ++modifier) {
            for (int i = 0; i < perModifier; ++i) {
                const xcb_keycode_t code = codes[modifier * perModifier + i];
                if (code != 0 && std::find(numLockCodes.begin(), numLockCodes.end(), code) !=
                                     numLockCodes.end()) {
                    mask = uint16_t(1u << modifier);
                    break;
                }
            }
        }
    }
    // Num Lock on Shift, Lock or Control would make every combination a variant of another.
    if (mask & (XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_CONTROL))
        mask = 0;
    else if (mask == 0)
        mask = XCB_MOD_MASK_2; // where Num Lock sits on nearly every X server
    numLockMask = mask;
}

std::vector<uint16_t> X11HotKeyBackend::Private::variants(const Registration& registration) const {
    const uint16_t base = registration.xModifiers;
    std::vector<uint16_t> masks{base, uint16_t(base | XCB_MOD_MASK_LOCK)};
    if (registration.numLockMask != 0 && (base & registration.numLockMask) == 0) {
        masks.push_back(uint16_t(base | registration.numLockMask));
        masks.push_back(uint16_t(base | XCB_MOD_MASK_LOCK | registration.numLockMask));
    }
    return masks;
}

bool X11HotKeyBackend::Private::grabKeys(const Registration& registration) {
    if (registration.keycodes.empty())
        return false;
    struct Request {
        xcb_void_cookie_t cookie;
        bool plain;
    };
    // All requests go out before the first answer is awaited: one round trip per key.
    std::vector<Request> requests;
    for (const xcb_keycode_t keycode : registration.keycodes) {
        for (const uint16_t mask : variants(registration)) {
            requests.push_back({xcb_grab_key_checked(connection, 1, root, mask, keycode,
                                                     XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC),
                                mask == registration.xModifiers});
        }
    }
    bool heldElsewhere = false;
    for (const Request& request : requests) {
        // BadAccess: another client holds it. A variant held elsewhere only loses that
        // variant; the combination itself must be ours.
        const XcbPointer<xcb_generic_error_t> error(xcb_request_check(connection, request.cookie));
        if (error && request.plain)
            heldElsewhere = true;
    }
    if (heldElsewhere) {
        ungrabKeys(registration);
        return false;
    }
    return true;
}

void X11HotKeyBackend::Private::ungrabKeys(const Registration& registration) {
    // Checked, so that the grabs are gone on the server when we return: another program may
    // take the keys right after.
    std::vector<xcb_void_cookie_t> cookies;
    for (const xcb_keycode_t keycode : registration.keycodes) {
        for (const uint16_t mask : variants(registration))
            cookies.push_back(xcb_ungrab_key_checked(connection, keycode, root, mask));
    }
    for (const xcb_void_cookie_t cookie : cookies)
        XcbPointer<xcb_generic_error_t>(xcb_request_check(connection, cookie));
}

void X11HotKeyBackend::Private::remap() {
    KeySymbols fresh(xcb_key_symbols_alloc(connection));
    if (!fresh)
        return;
    symbols = std::move(fresh);
    if (registrations.empty())
        return;
    updateNumLockMask();
    for (auto& [id, registration] : registrations) {
        std::vector<xcb_keycode_t> keycodes = keycodesFor(registration.keysym);
        if (keycodes == registration.keycodes && registration.numLockMask == numLockMask)
            continue;
        ungrabKeys(registration);
        registration.keycodes = std::move(keycodes);
        registration.numLockMask = numLockMask;
        registration.down = false;
        registration.lastRelease.reset();
        if (!grabKeys(registration)) {
            qWarning("The global hot key 0x%x is no longer available after a change of the "
                     "keyboard layout.",
                     unsigned(registration.modifiers | registration.virtualKey));
            registration.keycodes.clear();
        }
    }
}

std::unique_ptr<X11HotKeyBackend> X11HotKeyBackend::create() {
    if (!qGuiApp || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    const auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
    if (!connection || xcb_connection_has_error(connection))
        return nullptr;

    auto d = std::make_unique<Private>();
    d->connection = connection;

    // The default screen of DISPLAY, as Qt's connection was opened with it.
    int screenNumber = 0;
    char* host = nullptr;
    int display = 0;
    if (xcb_parse_display(nullptr, &host, &display, &screenNumber) == 0)
        screenNumber = 0;
    std::free(host);
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    if (screens.rem == 0)
        return nullptr;
    d->root = screens.data->root;
    for (int i = 0; screens.rem > 0; ++i, xcb_screen_next(&screens)) {
        if (i == screenNumber) {
            d->root = screens.data->root;
            break;
        }
    }

    d->symbols.reset(xcb_key_symbols_alloc(connection));
    if (!d->symbols)
        return nullptr;
    d->updateNumLockMask();

    static const char xkbName[] = "XKEYBOARD";
    const XcbPointer<xcb_query_extension_reply_t> xkb(xcb_query_extension_reply(
        connection, xcb_query_extension(connection, sizeof xkbName - 1, xkbName), nullptr));
    if (xkb && xkb->present)
        d->xkbFirstEvent = xkb->first_event;

    std::unique_ptr<X11HotKeyBackend> backend(new X11HotKeyBackend(std::move(d)));
    QCoreApplication::instance()->installNativeEventFilter(backend.get());
    return backend;
}

X11HotKeyBackend::X11HotKeyBackend(std::unique_ptr<Private> d) : d(std::move(d)) {}

X11HotKeyBackend::~X11HotKeyBackend() {
    if (QCoreApplication* app = QCoreApplication::instance())
        app->removeNativeEventFilter(this);
    if (!d->usable())
        return;
    for (const auto& [id, registration] : d->registrations)
        d->ungrabKeys(registration);
}

bool X11HotKeyBackend::grab(quint16 id, quint32 modifiers, quint8 virtualKey) {
    modifiers &= HotKeyModifierMask;
    if (id == 0 || d->registrations.count(id) != 0 || !d->usable())
        return false;
    // Grabbing a key we hold already would silently replace our own grab.
    for (const auto& [otherId, other] : d->registrations) {
        if (other.modifiers == modifiers && other.virtualKey == virtualKey)
            return false;
    }
    Registration registration;
    registration.modifiers = modifiers;
    registration.virtualKey = virtualKey;
    registration.keysym = keysymFor(virtualKey);
    if (registration.keysym == NoKeySym)
        return false;
    registration.xModifiers = xModifiersFor(modifiers);
    registration.keycodes = d->keycodesFor(registration.keysym);
    registration.numLockMask = d->numLockMask;
    if (!d->grabKeys(registration))
        return false;
    d->registrations.emplace(id, std::move(registration));
    return true;
}

bool X11HotKeyBackend::ungrab(quint16 id) {
    const auto found = d->registrations.find(id);
    if (found == d->registrations.end())
        return false;
    if (d->usable())
        d->ungrabKeys(found->second);
    d->registrations.erase(found);
    return true;
}

bool X11HotKeyBackend::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
    if (!message || eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    // Key events sent by another client (high bit) are not the user's keyboard.
    const bool synthetic = (event->response_type & 0x80) != 0;
    const uint8_t type = event->response_type & 0x7f;

    if (type == XCB_KEY_PRESS && !synthetic) {
        const auto* key = reinterpret_cast<const xcb_key_press_event_t*>(event);
        const uint16_t state = key->state & ModifierBits & ~(XCB_MOD_MASK_LOCK | d->numLockMask);
        for (auto& [id, registration] : d->registrations) {
            if (registration.xModifiers != state ||
                std::find(registration.keycodes.begin(), registration.keycodes.end(),
                          key->detail) == registration.keycodes.end())
                continue;
            // Auto-repeat shows either as presses without releases in between, or as a
            // release and a press with the same time stamp.
            const bool repeat =
                (registration.down && key->time - registration.lastPress < RepeatWindowMs) ||
                (registration.lastRelease && *registration.lastRelease == key->time);
            registration.down = true;
            registration.lastPress = key->time;
            if (!repeat) {
                // A receiver may delete us: nothing of ours may be touched after this.
                emit pressed(id, registration.modifiers, registration.virtualKey);
            }
            return true;
        }
        return false;
    }

    if (type == XCB_KEY_RELEASE && !synthetic) {
        const auto* key = reinterpret_cast<const xcb_key_release_event_t*>(event);
        bool ours = false;
        for (auto& [id, registration] : d->registrations) {
            if (!registration.down ||
                std::find(registration.keycodes.begin(), registration.keycodes.end(),
                          key->detail) == registration.keycodes.end())
                continue;
            registration.down = false;
            registration.lastRelease = key->time;
            ours = true;
        }
        return ours;
    }

    if (type == XCB_MAPPING_NOTIFY) {
        const auto* mapping = reinterpret_cast<const xcb_mapping_notify_event_t*>(event);
        if (mapping->request != XCB_MAPPING_POINTER)
            d->remap();
        return false;
    }

    if (d->xkbFirstEvent != 0 && type == d->xkbFirstEvent) {
        const uint8_t xkbType = event->pad0;
        if (xkbType == XkbNewKeyboardNotify || xkbType == XkbMapNotify)
            d->remap();
    }
    return false;
}
