#!/bin/sh
# Runs a command in a network namespace of its own with only loopback up (multicast on), so that
# nothing it sends leaves the machine: the discovery tests' WS-Discovery probes, the simulators'
# announcements, every connection of the suite.
#   own-network.sh [--required] COMMAND...
# With --required (CI) it fails when no namespace can be had; without, it says so and runs the
# command with the host's network. Inside a namespace of its own already, it just runs it.
set -eu
required=0
if [ "${1:-}" = "--required" ]; then
  required=1
  shift
fi
if [ "${CAVIX_OWN_NETWORK:-}" = 1 ]; then
  exec "$@"
fi
if unshare -n true 2>/dev/null; then
  # No system bus either: an Avahi daemon of the host would browse the host's network.
  exec unshare -n sh -c 'ip link set lo up multicast on || exit 1
    DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent/cavix-own-network CAVIX_OWN_NETWORK=1 exec "$@"' own-network "$@"
fi
if [ "$required" = 1 ]; then
  echo "own-network: no network namespace of its own can be had here (unshare -n needs root);" \
    "refusing to run: $*" >&2
  exit 1
fi
echo "own-network: no network namespace of its own here; running with the host's network: $*" >&2
exec "$@"
