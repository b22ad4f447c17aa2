#pragma once

#include <cstdint>
#include <memory>
#include <string>

struct xkb_context;
struct xkb_keymap;
struct xkb_state;
struct xkb_compose_table;
struct xkb_compose_state;

// Turns one keyboard's evdev key events into text, as its XKB layout types them.
// Shift, Caps Lock and the other modifiers and locks count as on a keyboard;
// Num Lock starts on, as on a till whose scanner types keypad digits. Dead
// keys compose with the key after them as a keyboard's do (a German layout
// types ^ as dead circumflex, then Space), after the Compose table of
// en_US.UTF-8; where that table is not installed, a dead key types nothing.
class KeyText {
  public:
    // An XKB layout, with a variant in brackets: "de", "de(nodeadkeys)"; ""
    // means "us".
    explicit KeyText(const std::string& layout);
    ~KeyText();
    KeyText(const KeyText&) = delete;
    KeyText& operator=(const KeyText&) = delete;

    // False when the layout is not a single XKB layout name (lowercase letters, digits,
    // '-' and '_'), with a variant of the same letters or none, that compiles to a
    // named layout.
    bool valid() const { return m_state != nullptr; }

    enum class Key {
        kNothing,   // a release, a modifier or lock key, or an invalid layout
        kText,      // the key's text was appended
        kEnter,     // Enter or keypad Enter: the scan ends; no text
        kUnmapped,  // a key press that types nothing (F1, arrows, a dead key that composes nothing)
    };
    // One EV_KEY event: code, and value 1 press, 0 release, 2 autorepeat. On
    // kText the key's text is appended to `text`.
    Key Feed(uint16_t code, int32_t value, std::string& text);

    // Forgets which keys are held and which locks are on (Num Lock is on
    // again), as after the kernel lost events.
    void Reset();
    // A scan ended: a dead key still waiting for its next key goes with it
    // rather than into the next scan. True when there was one.
    bool DropDeadKey();

  private:
    struct XkbUnref {
        void operator()(xkb_context* context) const;
        void operator()(xkb_keymap* keymap) const;
        void operator()(xkb_state* state) const;
        void operator()(xkb_compose_table* table) const;
        void operator()(xkb_compose_state* state) const;
    };

    Key Press(uint32_t keycode, std::string& text);

    std::unique_ptr<xkb_context, XkbUnref> m_context;
    std::unique_ptr<xkb_keymap, XkbUnref> m_keymap;
    std::unique_ptr<xkb_state, XkbUnref> m_state;
    std::unique_ptr<xkb_compose_table, XkbUnref> m_compose_table;
    std::unique_ptr<xkb_compose_state, XkbUnref> m_compose;
};
