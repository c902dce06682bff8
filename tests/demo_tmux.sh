#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The demo as a person meets it: radio-sim in a tmux window, keys typed with
# send-keys, the screen read back with capture-pane.
set -euo pipefail
sim=$1
command -v tmux >/dev/null || { echo "tmux is not installed: skipped"; exit 77; }

socket="radio-demo-$$"
tmux_() { tmux -L "$socket" -f /dev/null "$@"; }
trap 'tmux_ kill-server 2>/dev/null || true' EXIT

screen() { tmux_ capture-pane -p -t demo; }
# Waits until the screen shows the text, or fails with the screen.
wait_for() {
  for _ in $(seq 200); do
    screen | grep -qF -- "$1" && return 0
    sleep 0.05
  done
  echo "the screen never showed: $1"; screen; exit 1
}

tmux_ new-session -d -s demo -x 100 -y 50 "$sim; echo \"demo ended: \$?\"; sleep 600"
wait_for "Escape ends"
# Keys typed before radio's key mode would wait for Enter: wait until the
# pane's terminal is out of canonical mode.
pane_tty=$(tmux_ display-message -p -t demo '#{pane_tty}')
for _ in $(seq 200); do
  stty -F "$pane_tty" -a | grep -qw -- -icanon && break
  sleep 0.05
done
tmux_ send-keys -t demo 8
wait_for "rx 0x20  key 8     | up ON | down -- | left -- | right -- | 9 -- | 7 -- |"
tmux_ send-keys -t demo 6
wait_for "rx 0x04  key 6     | up -- | down -- | left -- | right ON | 9 -- | 7 -- |"
tmux_ send-keys -t demo Up
tmux_ send-keys -t demo Space
wait_for "rx 0x00  key space | up -- | down -- | left -- | right -- | 9 -- | 7 -- |"
tmux_ send-keys -t demo Escape
wait_for "demo ended: 0"
wait_for "radio-sim: radio exited with status 1; 3 bytes received: 8=1 2=0 4=0 6=1 9=0 7=0 space=1 unknown=0"
if screen | grep -q UNKNOWN; then
  echo "the arrow key sent a byte"; screen; exit 1
fi
echo "demo under tmux: ok"
