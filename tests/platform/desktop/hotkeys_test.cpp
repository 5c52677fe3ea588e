// Global hot keys: the manager over the fake backend, and the X11 grabs on the private X
// server the test runs on, pressed through xdotool and contested by a second X client.
#include "platform/desktop/hotkeys.h"
#include "platform/desktop/x11hotkeys.h"
#include "support/eventloop.h"
#include "support/qtprint.h"

#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xcb_keysyms.h>

namespace {

constexpr quint32 CtrlAlt = HotKeyCtrl | HotKeyAlt;
constexpr char Letters[] = "RUSOHFP";
constexpr uint16_t XCtrlAlt = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;

struct Press {
    quint32 hotKey;
    quint16 id;
    bool operator==(const Press& other) const { return hotKey == other.hotKey && id == other.id; }
};

std::ostream& operator<<(std::ostream& os, const Press& press) {
    return os << "{0x" << std::hex << press.hotKey << ", 0x" << press.id << std::dec << '}';
}

struct Presses {
    std::vector<Press> list;
    explicit Presses(THotKeyManager& manager) {
        QObject::connect(&manager, &THotKeyManager::OnHotKeyPressed,
                         [this](quint32 hotKey, quint16 id) {
                             list.push_back({hotKey, id});
                         });
    }
};

// Registers Ctrl+Alt+R, U, S, O, H, F, P in the program's order; the ids in that order.
std::vector<quint16> addSeven(THotKeyManager& manager) {
    std::vector<quint16> ids;
    for (const char* letter = Letters; *letter != '\0'; ++letter)
        ids.push_back(manager.AddHotKey(quint32(*letter) + CtrlAlt));
    return ids;
}

// ---------------------------------------------------------------------------------------
// The manager over the fake backend.

TEST(HotKeyManager, RegistersTheSevenKeysReportsTheirPressesAndClearsThem) {
    FakeHotKeyBackend fake;
    THotKeyManager manager(&fake);
    Presses presses(manager);
    EXPECT_TRUE(manager.hasBackend());

    const std::vector<quint16> ids = addSeven(manager);
    ASSERT_EQ(ids.size(), 7u);
    EXPECT_EQ(std::set<quint16>(ids.begin(), ids.end()).size(), 7u);
    for (size_t i = 0; i < ids.size(); ++i) {
        EXPECT_NE(ids[i], 0) << Letters[i];
        const auto found = fake.registered().find(ids[i]);
        ASSERT_NE(found, fake.registered().end()) << Letters[i];
        EXPECT_EQ(found->second, FakeHotKeyBackend::Combination(CtrlAlt, quint8(Letters[i])));
    }
    EXPECT_EQ(manager.count(), 7);

    // The same combination twice: the system would refuse it, and the second id would never
    // be reported.
    EXPECT_EQ(manager.AddHotKey('R' + CtrlAlt), 0);
    EXPECT_EQ(manager.count(), 7);

    EXPECT_TRUE(fake.press(CtrlAlt, 'S'));
    EXPECT_TRUE(fake.press(CtrlAlt, 'R'));
    EXPECT_FALSE(fake.press(CtrlAlt | HotKeyShift, 'R'));
    EXPECT_FALSE(fake.press(HotKeyCtrl, 'R'));
    EXPECT_FALSE(fake.press(CtrlAlt, 'X'));
    const std::vector<Press> expected{{'S' + CtrlAlt, ids[2]}, {'R' + CtrlAlt, ids[0]}};
    EXPECT_EQ(presses.list, expected);

    manager.ClearHotKeys();
    EXPECT_TRUE(fake.registered().empty());
    EXPECT_EQ(manager.count(), 0);
    EXPECT_FALSE(fake.press(CtrlAlt, 'R'));
    EXPECT_EQ(presses.list.size(), 2u);
}

TEST(HotKeyManager, RefusedKeysReturnZeroAndKeepNothing) {
    FakeHotKeyBackend fake;
    fake.holdElsewhere(CtrlAlt, 'S');
    THotKeyManager manager(&fake);
    Presses presses(manager);

    const std::vector<quint16> ids = addSeven(manager);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (Letters[i] == 'S')
            EXPECT_EQ(ids[i], 0);
        else
            EXPECT_NE(ids[i], 0) << Letters[i];
    }
    EXPECT_EQ(manager.count(), 6);
    EXPECT_EQ(fake.registered().size(), 6u);
    EXPECT_FALSE(fake.press(CtrlAlt, 'S'));
    EXPECT_TRUE(presses.list.empty());

    // A value without a key registers nothing.
    EXPECT_EQ(manager.AddHotKey(CtrlAlt), 0);
    EXPECT_EQ(manager.count(), 6);

    // Without a backend (a Wayland session) nothing can be registered, and nothing breaks.
    THotKeyManager none(nullptr);
    EXPECT_FALSE(none.hasBackend());
    EXPECT_EQ(none.AddHotKey('R' + CtrlAlt), 0);
    EXPECT_EQ(none.count(), 0);
    none.ClearHotKeys();
}

TEST(HotKeyManager, ClearingAndDestructionAreSafe) {
    // A failed unregistration still takes the entry off the list.
    {
        FakeHotKeyBackend fake;
        THotKeyManager manager(&fake);
        addSeven(manager);
        fake.setUngrabFails(true);
        manager.ClearHotKeys();
        EXPECT_EQ(manager.count(), 0);
        fake.setUngrabFails(false);
    }

    // The destructor unregisters everything.
    {
        FakeHotKeyBackend fake;
        {
            THotKeyManager manager(&fake);
            addSeven(manager);
            EXPECT_EQ(fake.registered().size(), 7u);
        }
        EXPECT_TRUE(fake.registered().empty());
        EXPECT_FALSE(fake.press(CtrlAlt, 'R'));
    }

    // A receiver may clear the keys or delete the manager while it is told of a press.
    {
        FakeHotKeyBackend fake;
        THotKeyManager manager(&fake);
        const quint16 id = manager.AddHotKey('R' + CtrlAlt);
        QObject::connect(&manager, &THotKeyManager::OnHotKeyPressed, [&](quint32, quint16 index) {
            EXPECT_EQ(index, id);
            manager.ClearHotKeys();
        });
        EXPECT_TRUE(fake.press(CtrlAlt, 'R'));
        EXPECT_TRUE(fake.registered().empty());
    }
    {
        auto owned = std::make_unique<FakeHotKeyBackend>();
        FakeHotKeyBackend* fake = owned.get();
        auto* manager = new THotKeyManager(std::move(owned));
        manager->AddHotKey('R' + CtrlAlt);
        int calls = 0;
        QObject::connect(manager, &THotKeyManager::OnHotKeyPressed, [&] {
            ++calls;
            delete manager; // the backend that is emitting goes with it
        });
        fake->press(CtrlAlt, 'R');
        EXPECT_EQ(calls, 1);
    }

    // A backend that goes before the manager that uses it.
    {
        auto fake = std::make_unique<FakeHotKeyBackend>();
        THotKeyManager manager(fake.get());
        addSeven(manager);
        fake.reset();
        EXPECT_FALSE(manager.hasBackend());
        EXPECT_EQ(manager.AddHotKey('X' + CtrlAlt), 0);
        manager.ClearHotKeys();
        EXPECT_EQ(manager.count(), 0);
    }
}

// ---------------------------------------------------------------------------------------
// X11.

bool onX11() {
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

/// Another X client on the same display, as another program holding hot keys would be.
class OtherClient {
public:
    OtherClient() {
        int screenNumber = 0;
        m_connection = xcb_connect(nullptr, &screenNumber);
        if (xcb_connection_has_error(m_connection))
            return;
        xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(m_connection));
        for (int i = 0; i < screenNumber && screens.rem > 0; ++i)
            xcb_screen_next(&screens);
        m_root = screens.data->root;
        m_symbols = xcb_key_symbols_alloc(m_connection);
    }
    ~OtherClient() {
        if (m_symbols)
            xcb_key_symbols_free(m_symbols);
        xcb_disconnect(m_connection);
    }
    OtherClient(const OtherClient&) = delete;
    OtherClient& operator=(const OtherClient&) = delete;

    bool ok() const { return !xcb_connection_has_error(m_connection) && m_symbols; }
    xcb_connection_t* connection() const { return m_connection; }

    xcb_keycode_t keycode(xcb_keysym_t keysym) {
        // The cached map would miss a change made since.
        xcb_key_symbols_free(m_symbols);
        m_symbols = xcb_key_symbols_alloc(m_connection);
        xcb_keycode_t* codes = xcb_key_symbols_get_keycode(m_symbols, keysym);
        const xcb_keycode_t code = codes ? codes[0] : XCB_NO_SYMBOL;
        std::free(codes);
        return code;
    }

    /// Whether the X server let us grab the key (it refuses with BadAccess when someone else
    /// holds it).
    bool grab(uint16_t modifiers, xcb_keycode_t keycode) {
        xcb_generic_error_t* error = xcb_request_check(
            m_connection, xcb_grab_key_checked(m_connection, 1, m_root, modifiers, keycode,
                                               XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC));
        const bool granted = error == nullptr;
        std::free(error);
        return granted;
    }
    void ungrab(uint16_t modifiers, xcb_keycode_t keycode) {
        std::free(xcb_request_check(
            m_connection, xcb_ungrab_key_checked(m_connection, keycode, m_root, modifiers)));
    }

    /// Waits until this client receives a press of the key (through its grab).
    bool receivesPress(xcb_keycode_t keycode) {
        return processUntil([&] {
            while (xcb_generic_event_t* event = xcb_poll_for_event(m_connection)) {
                const bool match =
                    (event->response_type & 0x7f) == XCB_KEY_PRESS &&
                    reinterpret_cast<xcb_key_press_event_t*>(event)->detail == keycode;
                std::free(event);
                if (match)
                    return true;
            }
            return false;
        });
    }

    /// The keyboard's modifier state as the server sees it.
    uint16_t modifierState() {
        xcb_query_pointer_reply_t* reply =
            xcb_query_pointer_reply(m_connection, xcb_query_pointer(m_connection, m_root), nullptr);
        const uint16_t mask = reply ? reply->mask : 0;
        std::free(reply);
        return mask;
    }

private:
    xcb_connection_t* m_connection = nullptr;
    xcb_window_t m_root = XCB_NONE;
    xcb_key_symbols_t* m_symbols = nullptr;
};

/// Presses keys through the XTEST extension, as the user's keyboard would.
bool typeKeys(const QString& keys) {
    QProcess xdotool;
    xdotool.start(QStringLiteral("xdotool"), {QStringLiteral("key"), keys});
    if (!xdotool.waitForFinished(30000)) {
        ADD_FAILURE() << "xdotool did not finish: " << xdotool.errorString().toStdString();
        return false;
    }
    if (xdotool.exitStatus() != QProcess::NormalExit || xdotool.exitCode() != 0) {
        ADD_FAILURE() << "xdotool key " << keys.toStdString()
                      << " failed: " << xdotool.readAllStandardError().toStdString();
        return false;
    }
    return true;
}

bool waitForPresses(const Presses& presses, size_t count) {
    return processUntil([&] { return presses.list.size() >= count; });
}

class X11HotKeys : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(onX11()) << "this test runs on an X server (xvfb-run, QT_QPA_PLATFORM=xcb)";
        ASSERT_FALSE(QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            << "xdotool is missing";
    }
    void TearDown() override {
        // A test that failed half-way must not leave a lock on for the next one.
        OtherClient other;
        if (!other.ok())
            return;
        const uint16_t state = other.modifierState();
        if (state & XCB_MOD_MASK_LOCK)
            typeKeys(QStringLiteral("Caps_Lock"));
        if (state & XCB_MOD_MASK_2)
            typeKeys(QStringLiteral("Num_Lock"));
    }
};

// R plain, U with Caps Lock, P with both locks, O with Num Lock, H plain again: the four
// grabs of every combination.
TEST_F(X11HotKeys, PressesArriveAlsoWithCapsLockAndNumLock) {
    THotKeyManager manager(createHotKeyBackend());
    ASSERT_TRUE(manager.hasBackend());
    Presses presses(manager);
    const std::vector<quint16> ids = addSeven(manager);
    for (size_t i = 0; i < ids.size(); ++i)
        EXPECT_NE(ids[i], 0) << Letters[i];

    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+r")));
    ASSERT_TRUE(waitForPresses(presses, 1));

    OtherClient other;
    ASSERT_TRUE(other.ok());
    ASSERT_TRUE(typeKeys(QStringLiteral("Caps_Lock")));
    EXPECT_TRUE(other.modifierState() & XCB_MOD_MASK_LOCK);
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+u")));
    ASSERT_TRUE(waitForPresses(presses, 2));
    ASSERT_TRUE(typeKeys(QStringLiteral("Num_Lock")));
    EXPECT_TRUE(other.modifierState() & XCB_MOD_MASK_2); // Num Lock's modifier on Xvfb
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+p")));
    ASSERT_TRUE(waitForPresses(presses, 3));
    ASSERT_TRUE(typeKeys(QStringLiteral("Caps_Lock")));
    EXPECT_FALSE(other.modifierState() & XCB_MOD_MASK_LOCK);
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+o")));
    ASSERT_TRUE(waitForPresses(presses, 4));
    ASSERT_TRUE(typeKeys(QStringLiteral("Num_Lock")));

    // Shift makes it another combination; the O press behind it shows that nothing came.
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+shift+r")));
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+h")));
    ASSERT_TRUE(waitForPresses(presses, 5));

    const std::vector<Press> expected{{'R' + CtrlAlt, ids[0]},
                                      {'U' + CtrlAlt, ids[1]},
                                      {'P' + CtrlAlt, ids[6]},
                                      {'O' + CtrlAlt, ids[3]},
                                      {'H' + CtrlAlt, ids[4]}};
    EXPECT_EQ(presses.list, expected);
}

TEST_F(X11HotKeys, KeysHeldByAnotherClientAreRefusedAndClearedKeysAreFreed) {
    OtherClient other;
    ASSERT_TRUE(other.ok());
    const xcb_keycode_t s = other.keycode('s');
    const xcb_keycode_t r = other.keycode('r');
    ASSERT_NE(s, XCB_NO_SYMBOL);
    ASSERT_NE(r, XCB_NO_SYMBOL);
    ASSERT_TRUE(other.grab(XCtrlAlt, s));

    auto manager = std::make_unique<THotKeyManager>(createHotKeyBackend());
    Presses presses(*manager);
    const std::vector<quint16> ids = addSeven(*manager);
    for (size_t i = 0; i < ids.size(); ++i) {
        if (Letters[i] == 'S')
            EXPECT_EQ(ids[i], 0);
        else
            EXPECT_NE(ids[i], 0) << Letters[i];
    }
    EXPECT_EQ(manager->count(), 6);

    // The key stays the other program's; ours still work.
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+s")));
    EXPECT_TRUE(other.receivesPress(s));
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+f")));
    ASSERT_TRUE(waitForPresses(presses, 1));
    EXPECT_EQ(presses.list, (std::vector<Press>{{'F' + CtrlAlt, ids[5]}}));

    // While we hold R, nobody else gets it, with or without Caps Lock.
    EXPECT_FALSE(other.grab(XCtrlAlt, r));
    EXPECT_FALSE(other.grab(XCtrlAlt | XCB_MOD_MASK_LOCK, r));

    manager->ClearHotKeys();
    for (const char* letter = Letters; *letter != '\0'; ++letter) {
        const xcb_keycode_t code = other.keycode(xcb_keysym_t(*letter - 'A' + 'a'));
        EXPECT_TRUE(other.grab(XCtrlAlt, code)) << *letter;
        EXPECT_TRUE(other.grab(XCtrlAlt | XCB_MOD_MASK_LOCK, code)) << *letter;
    }
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+r")));
    EXPECT_TRUE(other.receivesPress(r));

    // Released on destruction too: a key we take now is free again once the manager goes.
    const quint16 nine = manager->AddHotKey('9' + CtrlAlt);
    EXPECT_NE(nine, 0);
    ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+9")));
    ASSERT_TRUE(waitForPresses(presses, 2));
    EXPECT_EQ(presses.list.back(), (Press{'9' + CtrlAlt, nine}));
    manager.reset();
    EXPECT_TRUE(other.grab(XCtrlAlt, other.keycode('9')));
}

TEST_F(X11HotKeys, FilterReportsOnePressPerKeystrokeAndLeavesOtherKeysAlone) {
    std::unique_ptr<X11HotKeyBackend> backend = X11HotKeyBackend::create();
    ASSERT_TRUE(backend);
    std::vector<quint16> pressed;
    QObject::connect(backend.get(), &HotKeyBackend::pressed,
                     [&](quint16 id, quint32 modifiers, quint8 key) {
                         EXPECT_EQ(modifiers, CtrlAlt);
                         EXPECT_EQ(key, 'R');
                         pressed.push_back(id);
                     });
    ASSERT_TRUE(backend->grab(0xC100, CtrlAlt, 'R'));
    EXPECT_FALSE(backend->grab(0xC100, CtrlAlt, 'U'));  // the id is taken
    EXPECT_FALSE(backend->grab(0xC101, CtrlAlt, 'R'));  // so is the combination
    EXPECT_FALSE(backend->grab(0xC102, CtrlAlt, 0xFF)); // no such key here
    EXPECT_FALSE(backend->grab(0, CtrlAlt, 'U'));
    EXPECT_TRUE(backend->grab(0xC103, HotKeyWin | HotKeyShift, 0x74)); // F5
    EXPECT_TRUE(backend->ungrab(0xC103));

    OtherClient other;
    ASSERT_TRUE(other.ok());
    const xcb_keycode_t r = other.keycode('r');
    const xcb_keycode_t t = other.keycode('t');

    const auto send = [&](uint8_t type, xcb_keycode_t keycode, uint16_t state,
                          xcb_timestamp_t time) {
        xcb_key_press_event_t event{};
        event.response_type = type;
        event.detail = keycode;
        event.state = state;
        event.time = time;
        return backend->nativeEventFilter("xcb_generic_event_t", &event, nullptr);
    };
    constexpr uint16_t Button1 = XCB_BUTTON_MASK_1;

    // Lock, Num Lock and a held mouse button do not change the combination.
    EXPECT_TRUE(
        send(XCB_KEY_PRESS, r, XCtrlAlt | XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2 | Button1, 1000));
    EXPECT_EQ(pressed.size(), 1u);
    // Held down: repeats without releases in between are swallowed, not reported.
    EXPECT_TRUE(send(XCB_KEY_PRESS, r, XCtrlAlt, 1500));
    EXPECT_TRUE(send(XCB_KEY_PRESS, r, XCtrlAlt, 1530));
    EXPECT_TRUE(send(XCB_KEY_RELEASE, r, XCtrlAlt, 1560));
    // Repeats as a release and a press at the same time.
    EXPECT_TRUE(send(XCB_KEY_PRESS, r, XCtrlAlt, 1560));
    EXPECT_TRUE(send(XCB_KEY_RELEASE, r, XCB_MOD_MASK_1, 1590));
    EXPECT_EQ(pressed.size(), 1u);
    // A new keystroke.
    EXPECT_TRUE(send(XCB_KEY_PRESS, r, XCtrlAlt, 3000));
    EXPECT_EQ(pressed.size(), 2u);
    // Its release went elsewhere; a press long after still counts.
    EXPECT_TRUE(send(XCB_KEY_PRESS, r, XCtrlAlt, 9000));
    EXPECT_EQ(pressed.size(), 3u);
    EXPECT_TRUE(send(XCB_KEY_RELEASE, r, XCtrlAlt, 9050));

    // Other combinations, other keys, sent events and unrelated releases stay with Qt.
    EXPECT_FALSE(send(XCB_KEY_PRESS, r, XCB_MOD_MASK_CONTROL, 10000));
    EXPECT_FALSE(send(XCB_KEY_PRESS, r, XCtrlAlt | XCB_MOD_MASK_SHIFT, 10100));
    EXPECT_FALSE(send(XCB_KEY_PRESS, r, XCtrlAlt | XCB_MOD_MASK_5, 10200));
    EXPECT_FALSE(send(XCB_KEY_PRESS, t, XCtrlAlt, 10300));
    EXPECT_FALSE(send(XCB_KEY_PRESS | 0x80, r, XCtrlAlt, 10400));
    EXPECT_FALSE(send(XCB_KEY_RELEASE, r, XCtrlAlt, 10500));
    EXPECT_FALSE(backend->nativeEventFilter("windows_generic_MSG", nullptr, nullptr));
    EXPECT_EQ(pressed, (std::vector<quint16>{0xC100, 0xC100, 0xC100}));

    EXPECT_TRUE(backend->ungrab(0xC100));
    EXPECT_FALSE(backend->ungrab(0xC100));
    EXPECT_FALSE(send(XCB_KEY_PRESS, r, XCtrlAlt, 20000));
    EXPECT_EQ(pressed.size(), 3u);
}

TEST_F(X11HotKeys, GrabsFollowAChangedKeyboardMapping) {
    OtherClient other;
    ASSERT_TRUE(other.ok());
    xcb_connection_t* c = other.connection();
    const xcb_setup_t* setup = xcb_get_setup(c);
    const xcb_keycode_t first = setup->min_keycode;
    const uint8_t count = setup->max_keycode - setup->min_keycode + 1;

    // The whole map, to find a free key and to put everything back afterwards.
    xcb_get_keyboard_mapping_reply_t* reply =
        xcb_get_keyboard_mapping_reply(c, xcb_get_keyboard_mapping(c, first, count), nullptr);
    ASSERT_NE(reply, nullptr);
    const uint8_t perKey = reply->keysyms_per_keycode;
    const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
    const std::vector<xcb_keysym_t> original(syms, syms + size_t(count) * perKey);
    std::free(reply);

    const xcb_keycode_t oldR = other.keycode('r');
    ASSERT_NE(oldR, XCB_NO_SYMBOL);
    xcb_keycode_t freeKey = XCB_NO_SYMBOL;
    for (int i = count - 1; i >= 0 && freeKey == XCB_NO_SYMBOL; --i) {
        bool empty = true;
        for (int j = 0; j < perKey; ++j)
            empty = empty && original[size_t(i) * perKey + j] == 0;
        if (empty)
            freeKey = xcb_keycode_t(first + i);
    }
    ASSERT_NE(freeKey, XCB_NO_SYMBOL) << "no unused keycode on this server";

    THotKeyManager manager(createHotKeyBackend());
    Presses presses(manager);
    const quint16 id = manager.AddHotKey('R' + CtrlAlt);
    ASSERT_NE(id, 0);

    // R moves to the free key, as with another keyboard layout.
    std::vector<xcb_keysym_t> moved(perKey, 0);
    moved[0] = 'r';
    if (perKey > 1)
        moved[1] = 'R';
    const std::vector<xcb_keysym_t> none(perKey, 0);
    std::free(
        xcb_request_check(c, xcb_change_keyboard_mapping_checked(c, 1, oldR, perKey, none.data())));
    std::free(xcb_request_check(
        c, xcb_change_keyboard_mapping_checked(c, 1, freeKey, perKey, moved.data())));
    ASSERT_EQ(other.keycode('r'), freeKey);

    // The manager has moved its grab once the other client can no longer take the new key.
    const bool followed = processUntil([&] {
        if (!other.grab(XCtrlAlt, freeKey))
            return true;
        other.ungrab(XCtrlAlt, freeKey);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return false;
    });
    EXPECT_TRUE(followed) << "the grab did not follow the new mapping";
    if (followed) {
        EXPECT_TRUE(other.grab(XCtrlAlt, oldR)) << "the old key is still grabbed";
        other.ungrab(XCtrlAlt, oldR);
        ASSERT_TRUE(typeKeys(QStringLiteral("ctrl+alt+r")));
        ASSERT_TRUE(waitForPresses(presses, 1));
        EXPECT_EQ(presses.list.front(), (Press{'R' + CtrlAlt, id}));
    }

    std::free(xcb_request_check(
        c, xcb_change_keyboard_mapping_checked(c, count, first, perKey, original.data())));
}

/// Runs this test again in a child with `environment` added; true when it passed.
bool passesIn(const QProcessEnvironment& extra) {
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(extra);
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--gtest_filter=HotKeyPlatform.BackendOnlyOnX11")});
    return child.waitForFinished(120000) && child.exitStatus() == QProcess::NormalExit &&
           child.exitCode() == 0;
}

TEST(HotKeyPlatform, BackendOnlyOnX11) {
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        // The runs below, on Wayland or without a window system: no key can be claimed, and
        // nothing is reported.
        EXPECT_EQ(createHotKeyBackend(), nullptr);
        THotKeyManager manager(createHotKeyBackend());
        EXPECT_EQ(manager.AddHotKey('R' + CtrlAlt), 0);
        return;
    }
    ASSERT_TRUE(onX11());
    EXPECT_NE(createHotKeyBackend(), nullptr);

    QProcessEnvironment offscreen;
    offscreen.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    EXPECT_TRUE(passesIn(offscreen));

    // A Wayland session, from a headless compositor of its own.
    const QString weston = QStandardPaths::findExecutable(QStringLiteral("weston"));
    ASSERT_FALSE(weston.isEmpty()) << "the test command installs weston";
    QTemporaryDir runtime;
    ASSERT_TRUE(runtime.isValid());
    QFile::setPermissions(runtime.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess compositor;
    QProcessEnvironment compositorEnvironment = QProcessEnvironment::systemEnvironment();
    compositorEnvironment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    compositor.setProcessEnvironment(compositorEnvironment);
    compositor.start(weston,
                     {QStringLiteral("--backend=headless-backend.so"),
                      QStringLiteral("--socket=orvanta-test"), QStringLiteral("--idle-time=0")});
    ASSERT_TRUE(compositor.waitForStarted());
    const QString socket = runtime.filePath(QStringLiteral("orvanta-test"));
    ASSERT_TRUE(processUntil([&] { return QFileInfo::exists(socket); })) << "weston did not start";
    QProcessEnvironment wayland;
    wayland.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("wayland"));
    wayland.insert(QStringLiteral("WAYLAND_DISPLAY"), socket);
    EXPECT_TRUE(passesIn(wayland));
    compositor.terminate();
    compositor.waitForFinished(10000);
}

} // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
