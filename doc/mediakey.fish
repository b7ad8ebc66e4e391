# fish completion for mediakey: the first argument is one of the seven codes
# that press a media key; later arguments are ignored, so no file names either.
complete -c mediakey -f
set -l first 'test (count (commandline -opc)) -eq 1'
complete -c mediakey -n $first -a PLAYPAUSK -d play/pause
complete -c mediakey -n $first -a STOP0000K -d stop
complete -c mediakey -n $first -a NEXT0000K -d 'next track'
complete -c mediakey -n $first -a PREV0000K -d 'previous track'
complete -c mediakey -n $first -a VOLUP000K -d 'volume up'
complete -c mediakey -n $first -a VOLDOWN0K -d 'volume down'
complete -c mediakey -n $first -a VOLMUTE0K -d mute
