#include "key_text.h"

#include <linux/input-event-codes.h>
#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>

namespace {

// Where Debian's xkb-data puts the layouts. The context looks nowhere else, so
// neither HOME nor XKB_CONFIG_ROOT can change what a layout types.
constexpr char kXkbRoot[] = "/usr/share/X11/xkb";

// The dead keys' sequences: a fixed file, so that neither the locale nor
// HOME can change what a scanner types.
constexpr char kComposeFile[] = "/usr/share/X11/locale/en_US.UTF-8/Compose";
constexpr char kComposeLocale[] = "en_US.UTF-8";

// XKB numbers keys 8 above the kernel.
constexpr uint32_t kEvdevOffset = 8;

// One plain name of a layout or variant: nothing path-like, no second one.
bool PlainName(const std::string& name) {
    for (const char c : name) {
        const bool allowed =
            (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!allowed) {
            return false;
        }
    }
    return !name.empty();
}

// The keysyms of keys that only change modifiers, locks or the group.
bool ModifierSym(xkb_keysym_t sym) {
    return (sym >= XKB_KEY_Shift_L && sym <= XKB_KEY_Hyper_R) ||
           (sym >= XKB_KEY_ISO_Lock && sym <= XKB_KEY_ISO_Level5_Lock) ||
           sym == XKB_KEY_Mode_switch || sym == XKB_KEY_Num_Lock;
}

}  // namespace

void KeyText::XkbUnref::operator()(xkb_context* context) const {
    xkb_context_unref(context);
}
void KeyText::XkbUnref::operator()(xkb_keymap* keymap) const {
    xkb_keymap_unref(keymap);
}
void KeyText::XkbUnref::operator()(xkb_state* state) const {
    xkb_state_unref(state);
}
void KeyText::XkbUnref::operator()(xkb_compose_table* table) const {
    xkb_compose_table_unref(table);
}
void KeyText::XkbUnref::operator()(xkb_compose_state* state) const {
    xkb_compose_state_unref(state);
}

KeyText::KeyText(const std::string& layout) {
    std::string name = layout.empty() ? "us" : layout;
    std::string variant;
    const size_t open = name.find('(');
    if (open != std::string::npos) {
        if (name.back() != ')') {
            return;
        }
        variant = name.substr(open + 1, name.size() - open - 2);
        name.resize(open);
        if (!PlainName(variant)) {
            return;
        }
    }
    if (!PlainName(name)) {
        return;
    }
    m_context.reset(xkb_context_new(static_cast<xkb_context_flags>(
        XKB_CONTEXT_NO_DEFAULT_INCLUDES | XKB_CONTEXT_NO_ENVIRONMENT_NAMES)));
    if (!m_context || xkb_context_include_path_append(m_context.get(), kXkbRoot) != 1) {
        return;
    }
    const xkb_rule_names names = {"evdev", "pc105", name.c_str(), variant.c_str(), ""};
    m_keymap.reset(xkb_keymap_new_from_names(m_context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    // An unknown name fails to compile, but a symbols file that is not a
    // layout ("pc", "inet") compiles to a keymap without letters and without a
    // layout name.
    if (!m_keymap || xkb_keymap_num_layouts(m_keymap.get()) != 1 ||
        xkb_keymap_layout_get_name(m_keymap.get(), 0) == nullptr) {
        return;
    }
    if (FILE* file = std::fopen(kComposeFile, "re")) {
        m_compose_table.reset(xkb_compose_table_new_from_file(m_context.get(), file, kComposeLocale,
                                                              XKB_COMPOSE_FORMAT_TEXT_V1,
                                                              XKB_COMPOSE_COMPILE_NO_FLAGS));
        std::fclose(file);
    }
    Reset();
}

void KeyText::Reset() {
    if (m_compose_table) {
        m_compose.reset(xkb_compose_state_new(m_compose_table.get(), XKB_COMPOSE_STATE_NO_FLAGS));
    }
    m_state.reset(xkb_state_new(m_keymap.get()));
    const xkb_mod_index_t num_lock = xkb_keymap_mod_get_index(m_keymap.get(), XKB_MOD_NAME_NUM);
    if (m_state && num_lock != XKB_MOD_INVALID) {
        xkb_state_update_mask(m_state.get(), 0, 0, 1u << num_lock, 0, 0, 0);
    }
}

bool KeyText::DropDeadKey() {
    if (!m_compose || xkb_compose_state_get_status(m_compose.get()) != XKB_COMPOSE_COMPOSING) {
        return false;
    }
    xkb_compose_state_reset(m_compose.get());
    return true;
}

KeyText::~KeyText() = default;

KeyText::Key KeyText::Feed(uint16_t code, int32_t value, std::string& text) {
    if (!m_state || value < 0 || value > 2) {
        return Key::kNothing;
    }
    const uint32_t keycode = code + kEvdevOffset;
    if (value == 0) {
        xkb_state_update_key(m_state.get(), keycode, XKB_KEY_UP);
        return Key::kNothing;
    }
    // The key types what the state before it says; an autorepeat leaves the
    // state alone, so a held Caps Lock toggles once.
    const Key key = code == KEY_ENTER || code == KEY_KPENTER ? Key::kEnter : Press(keycode, text);
    if (value == 1) {
        xkb_state_update_key(m_state.get(), keycode, XKB_KEY_DOWN);
    }
    return key;
}

KeyText::Key KeyText::Press(uint32_t keycode, std::string& text) {
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(m_state.get(), keycode);
    if (m_compose && xkb_compose_state_feed(m_compose.get(), sym) == XKB_COMPOSE_FEED_ACCEPTED) {
        switch (xkb_compose_state_get_status(m_compose.get())) {
            case XKB_COMPOSE_COMPOSING:
                return Key::kNothing;  // a dead key: what it types comes with the next
            case XKB_COMPOSE_COMPOSED: {
                char composed[64];
                const int size =
                    xkb_compose_state_get_utf8(m_compose.get(), composed, sizeof composed);
                xkb_compose_state_reset(m_compose.get());
                if (size <= 0 || static_cast<size_t>(size) >= sizeof composed) {
                    return Key::kUnmapped;
                }
                text.append(composed, static_cast<size_t>(size));
                return Key::kText;
            }
            case XKB_COMPOSE_CANCELLED:
                // A dead key before a key it does not go with: neither types.
                xkb_compose_state_reset(m_compose.get());
                return Key::kUnmapped;
            case XKB_COMPOSE_NOTHING:
                break;
        }
    }
    const int size = xkb_state_key_get_utf8(m_state.get(), keycode, nullptr, 0);
    if (size > 0) {
        std::string typed(static_cast<size_t>(size) + 1, '\0');
        xkb_state_key_get_utf8(m_state.get(), keycode, &typed[0], typed.size());
        typed.resize(static_cast<size_t>(size));
        // Ctrl+2 and Ctrl+@ type NUL, which would cut the scan short wherever
        // it is read as a C string.
        if (typed.find('\0') != std::string::npos) {
            return Key::kUnmapped;
        }
        text += typed;
        return Key::kText;
    }
    const xkb_keysym_t* syms = nullptr;
    const int count = xkb_state_key_get_syms(m_state.get(), keycode, &syms);
    for (int i = 0; i < count; ++i) {
        if (ModifierSym(syms[i])) {
            return Key::kNothing;
        }
    }
    return Key::kUnmapped;
}
