# bash completion for mediakey: the first argument is one of the seven codes
# that press a media key; later arguments are ignored.
_mediakey() {
    COMPREPLY=()
    [ "$COMP_CWORD" -eq 1 ] || return 0
    local codes='PLAYPAUSK STOP0000K NEXT0000K PREV0000K VOLUP000K VOLDOWN0K VOLMUTE0K'
    mapfile -t COMPREPLY < <(compgen -W "$codes" -- "${COMP_WORDS[1]}")
}
complete -F _mediakey mediakey
