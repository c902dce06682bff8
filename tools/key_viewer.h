/* SPDX-License-Identifier: MIT */
// radio-sim --keys: what the terminal sends for each key, and what radio
// makes of it.
#ifndef RADIO_TOOLS_KEY_VIEWER_H
#define RADIO_TOOLS_KEY_VIEWER_H

// Shows each key pressed on the controlling terminal until the key radio
// ends on.  Returns the exit status: 0 once the terminal's settings are
// back, 1 when they could not be put back or there was no terminal.
int view_keys();

#endif
