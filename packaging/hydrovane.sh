#!/bin/sh
# The packaged station keeps its files in /var/lib/hydrovane unless told otherwise.
HYDROVANE_STATION="${HYDROVANE_STATION:-/var/lib/hydrovane}"
export HYDROVANE_STATION
exec /usr/lib/hydrovane/hydrovane "$@"
