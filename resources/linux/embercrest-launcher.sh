#!/bin/sh
# The menu's and the command's way in: the launcher keeps config.conf and its log in its
# working folder, so it starts in a folder of the player's own, made on first start.
# /usr/lib/embercrest-launcher/embercrest-launcher itself keeps the folder it is started in.
set -e
data=${XDG_DATA_HOME:-}
# XDG Base Directory: a relative XDG_DATA_HOME is ignored.
case $data in
/*) ;;
*) data=${HOME:?HOME is not set}/.local/share ;;
esac
data=$data/embercrest
# Private (XDG Base Directory asks it of folders made there); an existing one keeps its mode.
# shellcheck disable=SC2174 # only the last folder is ours to make private
[ -d "$data" ] || mkdir -p -m 700 "$data"
cd "$data"
exec /usr/lib/embercrest-launcher/embercrest-launcher "$@"
