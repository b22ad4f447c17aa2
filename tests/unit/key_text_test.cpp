// Keyboard-mode scans through real XKB layouts from xkb-data and the Compose
// table of libx11-data (the system tests type letters, Shift, digits,
// punctuation, Tab, Enter and F1 on "us", and "de"'s y and z).
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "key_text.h"

namespace {

// One key: tapped (press, release) unless a value (1, 0, 2) is given;
// KEY_RESERVED: the reader starts afresh (Reset), forgetting held keys and locks.
struct Event {
    uint16_t code;
    int32_t value = -1;
};

struct Row {
    const char* layout;
    std::vector<Event> keys;
    std::string text;
    int unmapped;
    bool enter;
};

TEST(KeyText, TypesAsTheLayoutDoes) {
    // What the daemon's environment says about XKB must change nothing.
    setenv("XKB_CONFIG_ROOT", "/nonexistent", 1);
    setenv("XKB_DEFAULT_LAYOUT", "fr", 1);
    const uint16_t kShift = KEY_LEFTSHIFT, kCaps = KEY_CAPSLOCK, kCtrl = KEY_LEFTCTRL;
    const uint16_t kAltGr = KEY_RIGHTALT;
    // clang-format off
    const Row rows[] = {
        {"", {{KEY_Y}, {KEY_Z}, {KEY_ENTER}}, "yz", 0, true},
        {"us", {{kCaps}, {KEY_A}, {KEY_1}, {kCaps}, {KEY_A}}, "A1a", 0, false},
        {"us", {{kCaps}, {kShift, 1}, {KEY_A}, {KEY_1}, {kShift, 0}, {KEY_B}}, "a!B", 0, false},
        // Num Lock starts on; pressed, it goes off and the keypad types no digits.
        {"us", {{KEY_KP1}, {KEY_KPDOT}, {KEY_NUMLOCK}, {KEY_KP1}, {KEY_KPENTER}}, "1.", 1, true},
        {"us", {{kShift, 1}, {kShift, 2}, {kShift, 0}, {kCtrl}, {KEY_LEFTALT}, {kAltGr},
                {KEY_LEFTMETA}, {kCaps}, {kCaps}}, "", 0, false},
        // Autorepeat types again; a held Caps Lock toggles once; a value no
        // key event has types nothing.
        {"us", {{kCaps, 1}, {kCaps, 2}, {kCaps, 0}, {KEY_B, 1}, {KEY_B, 2}, {KEY_C, 3}}, "BB", 0,
         false},
        // Ctrl+] is GS, the GS1 field separator; Ctrl+2 would type NUL.
        {"us", {{kCtrl, 1}, {KEY_RIGHTBRACE}, {KEY_2}, {kCtrl, 0}}, "\x1d", 1, false},
        {"de", {{KEY_Y}, {KEY_Z}, {KEY_MINUS}, {kShift, 1}, {KEY_7}, {kShift, 0}, {kAltGr, 1},
                {KEY_Q}}, "zyß/@", 0, false},
        {"fr", {{KEY_Q}, {KEY_1}, {kShift, 1}, {KEY_1}, {KEY_2}, {KEY_KPENTER}}, "a&12", 0, true},
        // Dead keys compose with the next key, as a keyboard's do: ^ is dead
        // circumflex then Space; one before a key it does not go with types
        // nothing. Without dead keys, the layout types ^ at once.
        {"de", {{KEY_GRAVE}, {KEY_SPACE}, {KEY_EQUAL}, {KEY_E}, {kShift, 1}, {KEY_EQUAL},
                {kShift, 0}, {KEY_A}, {KEY_GRAVE}, {KEY_Q}}, "^éà", 1, false},
        {"de(nodeadkeys)", {{KEY_GRAVE}, {KEY_1}}, "^1", 0, false},
        {"cz", {{KEY_Z}, {KEY_Y}}, "yz", 0, false},  // a name with a z
        {"fr", {{KEY_LEFTBRACE}, {KEY_E}, {kShift, 1}, {KEY_LEFTBRACE}, {kShift, 0}, {KEY_I}},
         "êï", 0, false},
        {"us", {{kShift, 1}, {kCaps, 1}, {KEY_NUMLOCK, 1}, {KEY_RESERVED}, {KEY_A, 1}, {KEY_KP1, 1}},
         "a1", 0, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.layout) + " -> " + row.text);
        KeyText keys(row.layout);
        ASSERT_TRUE(keys.valid());
        std::string text;
        int unmapped = 0;
        bool enter = false;
        for (const Event& key : row.keys) {
            if (key.code == KEY_RESERVED) {
                keys.Reset();
                continue;
            }
            for (const int32_t value :
                 key.value < 0 ? std::vector<int32_t>{1, 0} : std::vector<int32_t>{key.value}) {
                const size_t before = text.size();
                const KeyText::Key got = keys.Feed(key.code, value, text);
                EXPECT_EQ(got == KeyText::Key::kText, text.size() > before) << key.code;
                EXPECT_TRUE(value != 0 || got == KeyText::Key::kNothing) << key.code;
                unmapped += got == KeyText::Key::kUnmapped;
                if (got != KeyText::Key::kNothing) {
                    enter = got == KeyText::Key::kEnter;
                }
            }
        }
        EXPECT_EQ(text, row.text);
        EXPECT_EQ(unmapped, row.unmapped);
        EXPECT_EQ(enter, row.enter);
    }
    unsetenv("XKB_CONFIG_ROOT");
    unsetenv("XKB_DEFAULT_LAYOUT");
}

TEST(KeyText, RefusesWhatIsNotOneLayout) {
    for (const char* layout :
         {"nosuch", "us,de", "de(nodeadkeys", "de(../x)", "pc", "../symbols/us", "US", "de()"}) {
        KeyText keys(layout);
        EXPECT_FALSE(keys.valid()) << layout;
        std::string text;
        EXPECT_EQ(keys.Feed(KEY_A, 1, text), KeyText::Key::kNothing) << layout;
        EXPECT_EQ(text, "") << layout;
    }
}

}  // namespace
