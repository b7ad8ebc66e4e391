# Sourced by the benchmarks: installs what they need and builds the program.
scripts/deps.sh host bench "$@"
cmake --preset default >/dev/null
cmake --build --preset default --target mediakey >/dev/null
work=build/bench
mkdir -p "$work"

# Instructions that one run executes, counted by callgrind: the same on every
# run.  The program's own status does not matter here, only its count.
instructions() {
    { valgrind --tool=callgrind --callgrind-out-file=/dev/null "$@" 2>&1 >/dev/null || true; } |
        sed -n 's/.*Collected : \([0-9]*\).*/\1/p'
}
