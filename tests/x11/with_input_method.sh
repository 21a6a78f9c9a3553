#!/bin/sh
# Runs a command with an input method that composes on the spot: uim's XIM
# bridge with its Vietnamese quoted-readable engine (Shift+Space turns it
# on; a letter waits in the composition for its accent marks). The engine is
# registered in a copy of uim's script folder of the run's own (links to the
# installed scripts), and the UTF-8 locale the bridge serves is made there
# too, so nothing outside it changes.
# Run under Xvfb: the arguments are the command.
set -eu
dir=$(mktemp -d)
pid=
trap 'kill "$pid" 2>/dev/null; rm -rf "$dir"' EXIT
for f in /usr/share/uim/*; do
  case ${f##*/} in
  installed-modules.scm | loader.scm) ;;
  *) ln -s "$f" "$dir/${f##*/}" ;;
  esac
done
uim-module-manager --register viqr --path "$dir" >/dev/null
export LIBUIM_SCM_FILES="$dir"
mkdir "$dir/locale"
localedef -i en_US -f UTF-8 "$dir/locale/en_US.UTF-8" || [ -e "$dir/locale/en_US.UTF-8/LC_CTYPE" ]
export LOCPATH="$dir/locale" LC_ALL=en_US.UTF-8
uim-xim --engine=viqr >"$dir/uim.out" 2>&1 &
pid=$!
# Ready once it names itself among the root window's input method servers.
n=0
until xprop -root XIM_SERVERS 2>/dev/null | grep -q '@server=uim'; do
  n=$((n + 1)); [ $n -lt 200 ] || { echo "FAIL: uim-xim did not start: $(cat "$dir/uim.out")"; exit 1; }
  sleep 0.05
done
XMODIFIERS=@im=uim "$@"
