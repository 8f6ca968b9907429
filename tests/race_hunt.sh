#!/usr/bin/env bash
# Runs the integration tests most prone to races five times in a row while two busy loops load
# both cores. Any failure fails the run. Usage: race_hunt.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: race_hunt.sh BUILD_DIR}
# Start and stop, restart, serial recovery, bring-up retries, hat resets, the clock's start, TLS,
# start-stop cycles over plain TCP and TLS.
tests='StartStop\.|GatewayStartup\.(StopPutsTheHat|RestartKeeps)|GatewayRestart\.Twenty|LostHat\.HatUnplugged|WindDown\.|Observe\.(OnlineAfterStart|Tls)|HatReset\.|UidFile\.|Faults/BadHello\.|ClockCommands\.SlowStatus'
busy=()
stop_busy() {
  for pid in "${busy[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${busy[@]}"; do wait "$pid" 2>/dev/null || true; done
}
trap stop_busy EXIT
for _ in 1 2; do
  bash -c 'while :; do :; done' &
  busy+=($!)
done
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300 --repeat until-fail:5 --no-tests=error -R "$tests"
