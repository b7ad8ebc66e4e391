#compdef mediakey
# zsh completion for mediakey: the first argument is one of the seven codes
# that press a media key; later arguments are ignored.
(( CURRENT == 2 )) || return 1
local -a codes=(
    'PLAYPAUSK:play/pause'
    'STOP0000K:stop'
    'NEXT0000K:next track'
    'PREV0000K:previous track'
    'VOLUP000K:volume up'
    'VOLDOWN0K:volume down'
    'VOLMUTE0K:mute'
)
_describe -t codes 'media key code' codes
