// SPDX-License-Identifier: MIT
// Fuzzes the key decoder itself, in process and with no reads: each input
// is fed once as one burst (every byte but the last has another waiting
// behind it) and once with gaps where the input's own bytes put them, as a
// slow link would.  Whatever the bytes, the decoder may ask for another
// byte only when one is waiting, and a key's extended flag is 0 or 1.

#include "console/key_decoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void check_key(signed char extended)
{
    if (extended != 0 && extended != 1)
        abort();
}

// gaps: whether to take gaps from the bytes, else one burst.
void decode(const uint8_t *data, size_t size, bool gaps)
{
    key_decoder d;
    key_decoder_start(&d);
    bool at_start = true;
    unsigned sum = 0;
    for (size_t i = 0; i < size; ++i) {
        sum += data[i];
        const int more = i + 1 < size && (!gaps || sum % 5 != 0) ? 1 : 0;
        signed char key = 0;
        signed char extended = -1;
        const int done = key_decoder_feed(&d, data[i], more, &key, &extended);
        if (done == 0 && more == 0)
            abort(); // would read a byte that is not there: a wait
        if (done != 0) {
            check_key(extended);
            // A key's first byte other than Escape is that key at once.
            if (at_start && data[i] != 27 &&
                key != (data[i] == 127 ? 8 : static_cast<signed char>(data[i])))
                abort();
            key_decoder_start(&d);
        }
        at_start = done != 0;
    }
    if (!at_start) {
        signed char key = 0;
        signed char extended = -1;
        key_decoder_finish(&d, &key, &extended);
        check_key(extended);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    decode(data, size, false);
    decode(data, size, true);
    return 0;
}
