#!/bin/sh
# The packaged station keeps its files in /var/lib/hydrovane unless told otherwise. The
# launcher starts it again after a crash and passes stop signals on to it.
HYDROVANE_STATION="${HYDROVANE_STATION:-/var/lib/hydrovane}"
export HYDROVANE_STATION
exec /usr/lib/hydrovane/hydrovane-launcher /usr/lib/hydrovane/hydrovane "$@"
