#!/bin/sh
# How the shared scenarios went on each device: counts the verdicts that
# shared_scenarios_wine_test.cpp writes, one file per scenario, into DIR.
#
#   shared_scenarios_summary.sh DIR
#
# Each line: index, scenarios in the table, simulated device verdict, Wine
# verdict, milliseconds on each, name, why (tab-separated). Reports only:
# the scenarios' own tests pass or fail.
set -eu
dir=${1:?usage: shared_scenarios_summary.sh DIR}
set -- "$dir"/*.txt
if [ ! -f "$1" ]; then
    echo "shared scenarios: none played"
    exit 0
fi
cat "$@" | awk -F '\t' '
{
    played++; total = $2
    if ($3 == "pass") device++
    if ($4 == "pass" || $4 == "fail") { wine++; wineMs += $6 }
    if ($4 == "pass") winePassed++
    if ($4 == "not expressible") { absent++; why = why sprintf("  not under Wine: %s (%s)\n", $7, $8) }
    if ($4 == "skipped") skipped++
    if ($3 != "pass" || $4 == "fail")
        failed = failed sprintf("  FAILED %s: simulated device %s, Wine %s\n", $7, $3, $4)
}
END {
    line = sprintf("shared scenarios: simulated device %d/%d, Wine %d/%d (%d not expressible under Wine",
                   device, played, winePassed, wine, absent)
    if (skipped) line = line sprintf(", %d not played: no Wine here", skipped)
    line = line ")"
    if (played < total) line = line sprintf("; %d of the %d scenarios were played", played, total)
    print line
    if (wine) printf "Wine: %.1f s for %d scenarios, %.1f s each\n", wineMs / 1000, wine, wineMs / 1000 / wine
    printf "%s%s", why, failed
}'
