#!/usr/bin/env bash
# Builds the benchmarks (Release) and prints serviceapp against its baselines
# side by side: medians of interleaved rounds, and the median of the per-round
# ratios against targets.
#   bench/run.sh            (BENCH_ROUNDS=N rounds, default 101;
#                            BENCH_UPPER=DIR puts the /etc overlay's upper layer there, default /var/tmp)
# The install rows need root (a private mount namespace with an overlay over
# /etc and a tmpfs over /run); the real /etc is never written. The readiness
# row needs root and systemd: it boots one in private namespaces, as the
# test suite does.
# SPDX-License-Identifier: MIT
set -euo pipefail
cd "$(dirname "$0")/.."
. .ci/lib.sh
ensure_packages "${BASE_PACKAGES[@]}" init-system-helpers util-linux
build=$(mkdir -p "${BENCH_BUILD_DIR:-build-bench}" && cd "${BENCH_BUILD_DIR:-build-bench}" && pwd)
rounds=${BENCH_ROUNDS:-101}
cmake -S bench -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 >/dev/null

results=$(mktemp)
trap 'rm -f "$results"' EXIT
driver=$build/benchdriver
echo "measuring stop latency, idle memory and start-up ($rounds rounds)..." >&2
"$driver" stop "$rounds" lib_stop "$build/idle_service" min_stop "$build/minimal_daemon" >>"$results"
"$driver" rss 21 lib_rss "$build/idle_service" min_rss "$build/minimal_daemon" >>"$results"
"$driver" reload "$rounds" lib_reload "$build/reload_service" min_reload "$build/reload_daemon" >>"$results"
"$driver" time "$rounds" lib_start "" "$build/selfstop_service -console" bare_start "" "$build/bare" >>"$results"
echo "measuring log lines per second into a journal stream and syslog..." >&2
"$build/log_rate" journal "$rounds" >>"$results"
"$build/log_rate" syslog "$rounds" >>"$results" || echo "syslog row skipped: it needs root and mount namespaces" >&2
if [ "$(id -u)" = 0 ] && unshare --mount --propagation private true 2>/dev/null; then
  echo "measuring install and uninstall in a private mount namespace..." >&2
  unshare --mount --propagation private -- \
      bash bench/install_cases.sh "$build" "$rounds" "${BENCH_UPPER:-/var/tmp}" >>"$results"
else
  echo "install rows skipped: they need root and mount namespaces" >&2
fi
if [ "$(id -u)" = 0 ] && [ -x /lib/systemd/systemd ]; then
  echo "measuring readiness under a systemd booted in private namespaces..." >&2
  "$build/readiness" "$rounds" "$build/idle_service" "$build/notify_daemon" >>"$results" ||
      echo "readiness row failed" >&2
else
  echo "readiness row skipped: it needs root and /lib/systemd/systemd" >&2
fi

awk '
  { median[$1] = $2; fails[$1] = $3 }
  function row(what, ours, base, value, unit, target, ok) {
    printf "| %-40s | %10s | %10s | %-12s | %-10s | %-4s |\n", what, ours, base, value unit, target, ok < 0 ? "-" : ok ? "yes" : "NO"
  }
  function have(k) { return (k in median) && median[k] > 0 }
  END {
    for (k in fails) if (fails[k] > 0) printf "warning: %s failed %d times\n", k, fails[k] > "/dev/stderr"
    print "| Measure (median)                         | serviceapp |   baseline | result       | target     | met  |"
    print "|------------------------------------------|-----------:|-----------:|--------------|------------|------|"
    r = median["lib_stop/min_stop"]
    row("Stop latency, SIGTERM to exit (us)", median["lib_stop"], median["min_stop"], sprintf("%.2f", r), "x", "<= 1.1x", r <= 1.1)
    r = median["lib_reload/min_reload"]
    row("Reload, SIGHUP to READY=1 (us)", median["lib_reload"], median["min_reload"], sprintf("%.2f", r), "x", "<= 1.1x", r <= 1.1)
    r = median["lib_start/bare_start"]
    row("Start-up, -console vs bare C++ (us)", median["lib_start"], median["bare_start"], sprintf("%.2f", r), "x", "<= 1.2x", r <= 1.2)
    d = median["lib_rss"] - median["min_rss"]
    row("Idle RSS vs minimal daemon (KiB)", median["lib_rss"], median["min_rss"], sprintf("%+d", d), " KiB", "<= +128", d <= 128)
    d = median["lib_rss_anon"] - median["min_rss_anon"]
    row("  analysis: anonymous part of RSS (KiB)", median["lib_rss_anon"], median["min_rss_anon"], sprintf("%+d", d), " KiB", "", -1)
    r = median["lib_journal/raw_journal"]
    row("Log lines/s, journal vs fprintf <6>", median["lib_journal"], median["raw_journal"], sprintf("%.2f", r), "x", ">= 0.9x", r >= 0.9)
    if (have("lib_syslog")) {
      r = median["lib_syslog/raw_syslog"]
      row("Log lines/s, syslog vs syslog(3)", median["lib_syslog"], median["raw_syslog"], sprintf("%.2f", r), "x", ">= 0.9x", r >= 0.9)
    }
    if (have("lib_ready") && have("min_ready")) {
      r = median["lib_ready/min_ready"]
      row("Readiness, start to active (us)", median["lib_ready"], median["min_ready"], sprintf("%.2f", r), "x", "<= 1.1x", r <= 1.1)
    }
    if (have("install") && have("updatercd_defaults")) {
      r = median["install/floor"]
      row("-install vs durable floor (us)", median["install"], median["floor"], sprintf("%.2f", r), "x", "<= 1.15x", r <= 1.15)
      r = median["uninstall/floor_uninstall"]
      row("-uninstall vs durable floor (us)", median["uninstall"], median["floor_uninstall"], sprintf("%.2f", r), "x", "<= 1.15x", r <= 1.15)
      r = median["install/updatercd_defaults"]
      row("-install vs update-rc.d defaults (us)", median["install"], median["updatercd_defaults"], sprintf("%.2f", r), "x", "<= 1.0x", r <= 1.0)
      r = median["install/systemctl_enable"]
      row("-install vs systemctl enable (us)", median["install"], median["systemctl_enable"], sprintf("%.2f", r), "x", "<= 0.3x", r <= 0.3)
      r = median["uninstall/updatercd_remove"]
      row("-uninstall vs update-rc.d remove (us)", median["uninstall"], median["updatercd_remove"], sprintf("%.2f", r), "x", "<= 1.0x", r <= 1.0)
      r = median["install/bare"]
      row("  analysis: -install vs bare C++ (us)", median["install"], median["bare"], sprintf("%.2f", r), "x", "", -1)
      r = median["install_nofsync/bare"]
      row("  analysis: -install without syncs (us)", median["install_nofsync"], median["bare"], sprintf("%.2f", r), "x", "", -1)
      r = median["install/install_nofsync"]
      row("  analysis: with syncs vs without (us)", median["install"], median["install_nofsync"], sprintf("%.2f", r), "x", "", -1)
    }
  }' "$results"
