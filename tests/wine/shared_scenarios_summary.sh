#!/bin/sh
# How the shared scenarios went on each device: counts the verdicts that
# shared_scenarios_wine_test.cpp and the Pocket PC's
# shared_scenarios_pocketpc_test.cpp write, one file per scenario, into DIR.
#
#   shared_scenarios_summary.sh DIR
#
# Wine files (NNN.txt), one line each: index, scenarios in the table,
# simulated device verdict, Wine verdict, milliseconds on each, name, why.
# Pocket PC files (pocketpc-CPU-NNN.txt): index, scenarios in the table,
# processor, verdict, milliseconds, name. Fields are tab-separated. Reports
# only: the scenarios' own tests pass or fail.
set -eu
dir=${1:?usage: shared_scenarios_summary.sh DIR}
set --
for file in "$dir"/[0-9]*.txt "$dir"/pocketpc-sa1110-*.txt "$dir"/pocketpc-pxa270-*.txt; do
    [ -f "$file" ] && set -- "$@" "$file"
done
if [ $# -eq 0 ]; then
    echo "shared scenarios: none played"
    exit 0
fi
cat "$@" | awk -F '\t' '
NF == 6 {  # the Pocket PC, on one processor
    cpu = $3
    if (!(cpu in pocketPlayed)) order[++cpus] = cpu
    pocketPlayed[cpu]++; pocketTotal[cpu] = $2
    if ($4 == "pass") pocketPassed[cpu]++
    if ($4 == "fail") failed = failed sprintf("  FAILED %s: Pocket PC (%s)\n", $6, cpu)
    if ($4 == "skipped") pocketSkipped[cpu]++
    next
}
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
    line = "shared scenarios:"
    if (played) {
        line = line sprintf(" simulated device %d/%d, Wine %d/%d (%d not expressible under Wine",
                            device, played, winePassed, wine, absent)
        if (skipped) line = line sprintf(", %d not played: no Wine here", skipped)
        line = line ")"
        if (played < total) line = line sprintf("; %d of the %d scenarios were played", played, total)
    }
    for (i = 1; i <= cpus; i++) {
        cpu = order[i]
        line = line sprintf("%s Pocket PC (%s) %d/%d", (played || i > 1) ? "," : "", cpu,
                            pocketPassed[cpu], pocketPlayed[cpu] - pocketSkipped[cpu])
        if (pocketSkipped[cpu]) line = line sprintf(" (%d not played: no ARM build here)", pocketSkipped[cpu])
        if (pocketPlayed[cpu] < pocketTotal[cpu])
            line = line sprintf(" (%d of the %d scenarios played)", pocketPlayed[cpu], pocketTotal[cpu])
    }
    print line
    if (wine) printf "Wine: %.1f s for %d scenarios, %.1f s each\n", wineMs / 1000, wine, wineMs / 1000 / wine
    printf "%s%s", why, failed
}'
