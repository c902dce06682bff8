// SPDX-License-Identifier: MIT
#include "console/key_decoder.h"

namespace {

constexpr unsigned char escape = 27;
constexpr unsigned char del = 127;
constexpr unsigned char backspace = 8;
constexpr unsigned char enter = 13;

enum State {
    first,      // nothing yet
    after_esc,  // Escape, more following
    after_2esc, // Escape Escape, more following
    csi,        // Escape '[' (or Escape Escape '['), more following
    ss3,        // Escape 'O' (or Escape Escape 'O'), more following
    linux_fkey, // Escape '[' '[', more following
};

// ECMA-48 ends a control sequence with one byte from '@' to '~': a letter
// for the cursor keys, '~' for the editing and function keys.  The rxvt
// family ends its shifted keys with '$' instead (Shift+Home is Escape [ 7 $);
// without it such a key would swallow every key typed after it.
bool ends_sequence(unsigned char c)
{
    return (c >= 0x40 && c <= 0x7E) || c == '$';
}

int complete(signed char code, signed char ext, signed char *key, signed char *extended)
{
    *key = code;
    *extended = ext;
    return 1;
}

int plain(unsigned char byte, signed char *key, signed char *extended)
{
    return complete(static_cast<signed char>(byte), 0, key, extended);
}

signed char number_key(const key_decoder *d)
{
    const auto low = static_cast<unsigned char>(sequence_number_value(&d->number));
    return static_cast<signed char>(low);
}

// The key a sequence's final byte closes.  In application keypad mode the
// keypad sends Escape 'O' and 'j'..'y' for * + , - . / 0..9: the final byte
// less 0x40 is the key's own character, so the keypad's 8 is '8'.
signed char final_key(const key_decoder *d, unsigned char byte)
{
    if (d->state == ss3 && d->params == 0) {
        if (byte >= 'j' && byte <= 'y')
            return static_cast<signed char>(byte - 0x40);
        if (byte == 'M')
            return static_cast<signed char>(enter);
    }
    return number_key(d);
}

// Escape, or Escape Escape, then byte: '[' and 'O' open a sequence when a
// byte waits behind them; anything else is the key itself (Alt+key).
int after_escape(key_decoder *d, unsigned char byte, int more, signed char *key,
                 signed char *extended)
{
    if (more != 0 && (byte == '[' || byte == 'O')) {
        d->state = byte == '[' ? csi : ss3;
        return 0;
    }
    if (more != 0 && byte == escape && d->state == after_esc) {
        d->state = after_2esc;
        return 0;
    }
    return plain(byte, key, extended);
}

// A parameter or final byte of a sequence.
int in_sequence(key_decoder *d, unsigned char byte, int more, signed char *key,
                signed char *extended)
{
    // The Linux console's F1..F5 are Escape [ [ A..E.
    if (d->state == csi && d->params == 0 && byte == '[' && more != 0) {
        d->state = linux_fkey;
        return 0;
    }
    if (ends_sequence(byte))
        return complete(final_key(d, byte), 1, key, extended);
    d->params = 1;
    sequence_number_feed(&d->number, byte);
    if (more == 0) {
        key_decoder_finish(d, key, extended);
        return 1;
    }
    return 0;
}

} // namespace

void key_decoder_start(key_decoder *d)
{
    d->state = first;
    d->params = 0;
    sequence_number_start(&d->number);
}

int key_decoder_feed(key_decoder *d, unsigned char byte, int more, signed char *key,
                     signed char *extended)
{
    switch (d->state) {
    case first:
        if (byte == escape && more != 0) {
            d->state = after_esc;
            return 0;
        }
        return plain(byte == del ? backspace : byte, key, extended);
    case after_esc:
    case after_2esc: return after_escape(d, byte, more, key, extended);
    case linux_fkey: return complete(0, 1, key, extended);
    default: return in_sequence(d, byte, more, key, extended);
    }
}

void key_decoder_finish(const key_decoder *d, signed char *key, signed char *extended)
{
    switch (d->state) {
    case first:
    case after_esc:
    case after_2esc: (void)plain(escape, key, extended); return;
    case linux_fkey: (void)complete(0, 1, key, extended); return;
    default: (void)complete(number_key(d), 1, key, extended); return;
    }
}
