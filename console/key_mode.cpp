// SPDX-License-Identifier: MIT
#include "console/key_mode.h"

// Key mode is made from the record the terminal itself holds, so the fields
// not listed keep the user's values (VMIN and VTIME included: usually 1 and
// 0, a read waits for one byte).
//
//   field    value                 what the user would see otherwise
//   c_iflag  0                     ICRNL: Enter would arrive as 10, not 13;
//                                  IXON: Ctrl-S would freeze the screen and
//                                  Ctrl-Q would never arrive; ISTRIP: 8-bit
//                                  keys would lose their top bit; BRKINT: a
//                                  break would flush input
//   c_oflag  OPOST | ONLCR         the echo's "\n" starts a new line at the
//                                  left; without ONLCR it would stair-step
//   c_cflag  CS8 | CREAD, speed    8-bit keys, receiver on.  The line keeps
//            bits and CLOCAL kept  its own speed (speed 0 would drop DTR and
//                                  RTS and hang up a modem or terminal
//                                  server) and its CLOCAL (without it, any
//                                  later open of the console would wait for
//                                  a carrier that a three-wire line never
//                                  raises)
//   c_lflag  IEXTEN only           ICANON off: a key is readable without
//                                  Enter; ECHO off: the terminal does not
//                                  print the key, the program does; ISIG
//                                  off: Ctrl-C, Ctrl-Z and Ctrl-\ are keys,
//                                  not signals, so the program ends only on
//                                  its own key.  IEXTEN acts only in
//                                  canonical mode
//   VERASE   0x7F (DEL)            the erase key most terminals send, for a
//                                  record later put back into canonical mode
void console_key_mode(termios *t)
{
    t->c_iflag = 0;
    t->c_oflag = OPOST | ONLCR;
    t->c_cflag = (t->c_cflag & (CBAUD | CIBAUD | CLOCAL)) | CS8 | CREAD;
    t->c_lflag = IEXTEN;
    t->c_cc[VERASE] = 0x7F;
}
