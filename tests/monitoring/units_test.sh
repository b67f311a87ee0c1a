#!/bin/sh
# The packaged survey units: tabulon-survey-generator turns the folders of
# the settings into RequiresMountsFor= (table below); the service, the timer
# and such a drop-in pass systemd-analyze verify without a word; and
# systemd-analyze security rates the service at most MAX_EXPOSURE.
# Usage: units_test.sh PACKAGING_DIR
set -eu
packaging=$1
MAX_EXPOSURE=1.0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { failed=$((failed + 1)); echo "FAIL $1"; }

# settings line | RequiresMountsFor= value written ("" for no drop-in)
while IFS='|' read -r line expected; do
  rm -rf "$work/out"
  printf '%s\n' "$line" >"$work/settings"
  TABULON_DEFAULTS="$work/settings" sh "$packaging/tabulon-survey-generator" "$work/out"
  conf="$work/out/tabulon-survey.service.d/50-survey-mounts.conf"
  if [ -z "$expected" ]; then
    [ ! -e "$conf" ] || fail "generator, $line: a drop-in where none was due"
  else
    actual=$(sed -n 's/^RequiresMountsFor=//p' "$conf" 2>/dev/null || true)
    [ "$actual" = "$expected" ] || fail "generator, $line: '$actual', not '$expected'"
  fi
done <<'TABLE'
TABULON_SURVEY_DIRS=""|
TABULON_SURVEY_DIRS="/srv/data"|/srv/data
TABULON_SURVEY_DIRS="/srv/data  /mnt/share/db"|/srv/data /mnt/share/db
TABULON_SURVEY_DIRS='/srv/a relative /srv/*'|/srv/a /srv/*
TABULON_SURVEY_DIRS=/srv/100%|/srv/100%%
# TABULON_SURVEY_DIRS="/commented"|
TABULON_SURVEY_DIRS="/first"|/first
TABLE
# No settings at all: nothing written, and no failure.
rm -rf "$work/out"
TABULON_DEFAULTS="$work/none" sh "$packaging/tabulon-survey-generator" "$work/out" ||
  fail "generator without settings"
[ ! -e "$work/out" ] || fail "generator without settings wrote something"

if command -v systemd-analyze >/dev/null 2>&1; then
  units="$work/units"
  mkdir -p "$units/tabulon-survey.service.d"
  cp "$packaging/tabulon-survey.service" "$packaging/tabulon-survey.timer" "$units/"
  # The wrapper is not installed here: any program stands in for it.
  sed -i 's|^ExecStart=.*|ExecStart=/bin/true|' "$units/tabulon-survey.service"
  printf 'TABULON_SURVEY_DIRS="/srv/data /mnt/share"\n' >"$work/settings"
  TABULON_DEFAULTS="$work/settings" sh "$packaging/tabulon-survey-generator" "$units"
  if ! SYSTEMD_UNIT_PATH="$units:" systemd-analyze verify --man=no \
    "$units/tabulon-survey.service" "$units/tabulon-survey.timer" >"$work/verify" 2>&1 ||
    [ -s "$work/verify" ]; then
    fail "systemd-analyze verify: $(cat "$work/verify")"
  fi
  systemd-analyze security --offline=yes "$packaging/tabulon-survey.service" >"$work/security" 2>&1 || true
  exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security")
  if [ -z "$exposure" ] || ! awk -v e="$exposure" -v m="$MAX_EXPOSURE" 'BEGIN { exit !(e <= m) }'; then
    fail "systemd-analyze security: exposure '$exposure' above $MAX_EXPOSURE: $(grep '✗' "$work/security")"
  else
    echo "ok   systemd-analyze security: exposure $exposure"
  fi
else
  echo "systemd-analyze missing: the units are not verified"
fi
[ "$failed" = 0 ] && echo "ok   survey units" || exit 1
