#!/usr/bin/env bash
# Checks the files that the package ships beside the program: the changelog's
# version, the man page as groff and man render it, the bash completion, and
# that the udev rule is the same in the package, the program's message, the
# man page and the README.
# Usage: tests/package/files_test.sh SOURCE_DIR MAN_PAGE PROGRAM VERSION
set -uo pipefail
source_dir=$1
man_page=$2
program=$3
version=$4
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The package's version is the project's.
changelog=$(sed -n '1s/^mediakey (\([^)]*\)).*/\1/p' "$source_dir/debian/changelog")
[ "$changelog" = "$version" ] || fail "debian/changelog has '$changelog', project(VERSION) '$version'"

# The man page renders without a warning.
for render in "groff -ww -man -z $man_page" "man --warnings -l $man_page"; do
    warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 $render 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$render warns: $warnings"
done

# DIAGNOSTICS gives the program's own lines: each one listed there, up to a
# shortening "(...)" or the keysym of an example, is in the program.
sed -n '/^\.SH DIAGNOSTICS/,/^\.SH /{s/^\.B //p;t;/^[^.]/p}' "$man_page" |
    sed -n '/, and$\|;\|^the \|^no /p' | sed 's/ (\.\.\.)$//; s/ XF86Audio[A-Za-z]*$/ /' |
    while IFS= read -r line; do
        grep -qF -- "$line" "$program" || echo "FAIL: the man page lists '$line', which the program never writes"
    done | grep . && fail "DIAGNOSTICS differs from the program"

# Tab completes the seven media codes as the first argument, and nothing later.
# Each case: the words of the line as bash splits them, the cursor in the last.
complete_words() {
    bash -c '. "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _mediakey
             printf "%s\n" "${COMPREPLY[@]}" | sort | paste -sd " "' \
        sh "$source_dir/doc/mediakey.bash" "$@"
}
cases=(
    "mediakey ''|NEXT0000K PLAYPAUSK PREV0000K STOP0000K VOLDOWN0K VOLMUTE0K VOLUP000K"
    "mediakey VOL|VOLDOWN0K VOLMUTE0K VOLUP000K"
    "mediakey PLAY|PLAYPAUSK"
    "mediakey vol|"
    "mediakey X|"
    "mediakey PLAYPAUSK ''|"
    "mediakey PLAYPAUSK V|"
)
for c in "${cases[@]}"; do
    eval "words=(${c%%|*})"
    got=$(complete_words "${words[@]}")
    [ "$got" = "${c#*|}" ] || fail "completing '${c%%|*}': got '$got', want '${c#*|}'"
done
registered=$(bash -c '. "$1"; complete -p mediakey' sh "$source_dir/doc/mediakey.bash")
[ "$registered" = "complete -F _mediakey mediakey" ] || fail "completion registered as '$registered'"
# fish offers the same seven codes first and nothing, not even files, later
# (its own matching then picks among them); zsh's function must parse.
for c in "mediakey |NEXT0000K PLAYPAUSK PREV0000K STOP0000K VOLDOWN0K VOLMUTE0K VOLUP000K" \
    "mediakey PLAYPAUSK |" "mediakey PLAYPAUSK m|"; do
    got=$(cd "$source_dir/doc" && fish --no-config -c 'source $argv[1]; complete -C $argv[2]' \
        mediakey.fish "${c%%|*}" | cut -f1 | sort | paste -sd " ")
    [ "$got" = "${c#*|}" ] || fail "fish completing '${c%%|*}': got '$got', want '${c#*|}'"
done
zsh -n "$source_dir/doc/mediakey.zsh" || fail "the zsh completion does not parse"

# The packaged rules wherever they are shown: all of them in the man page and
# the README, the one for /dev/uinput in the may-not-open line.
while read -r rule; do
    grep -qF "$rule" "$man_page" || fail "the man page does not give the packaged rule $rule"
    grep -qF "$rule" "$source_dir/README.md" || fail "README.md does not give the packaged rule $rule"
done < <(grep -v '^#' "$source_dir/debian/mediakey.udev")
rule=$(grep '^KERNEL=="uinput"' "$source_dir/debian/mediakey.udev")
grep -qF "$rule" "$program" || fail "the may-not-open line does not give the packaged rule"

[ "$failures" -eq 0 ] && echo "package files: all checks passed"
[ "$failures" -eq 0 ]
