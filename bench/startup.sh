#!/usr/bin/env bash
# Start-up cost: the host build of `mediakey SHUTDOWNS`, a code that presses
# nothing and so never touches a display, against the floor, a static C
# program that only prints the same line.  Instructions per run come from
# callgrind (the same on every run); wall time from hyperfine.  Exits 1 when
# mediakey costs more than 1.10 times the floor's instructions.
set -euo pipefail
cd "$(dirname "$0")/.."

. bench/common.sh
cat >"$work/floor.c" <<'C'
#include <stdio.h>
int main(void) {
    printf("Key '%s' not supported.\n", "SHUTDOWNS");
    return 1;
}
C
gcc -O2 -static -o "$work/floor" "$work/floor.c"

floor=$(instructions "$work/floor")
tool=$(instructions build/default/mediakey SHUTDOWNS)
ratio=$(awk -v t="$tool" -v f="$floor" 'BEGIN { printf "%.3f", t / f }')

echo "instructions per run: floor $floor, mediakey $tool, ratio $ratio (target at most 1.10)"
hyperfine -N -i --warmup 200 --runs 2000 "$work/floor" "build/default/mediakey SHUTDOWNS"

awk -v r="$ratio" 'BEGIN { exit !(r <= 1.10) }'
