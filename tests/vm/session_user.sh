# Runs in the autologin session on tty1, as that session's user: each request
# that the suite leaves in the directory is a command line, run here with its
# stdout, stderr and status kept beside it.
dir=/run/mediakey-session
until [ -d "$dir" ]; do sleep 0.1; done
while :; do
    for request in "$dir"/*.cmd; do
        [ -e "$request" ] || continue
        base=${request%.cmd}
        sh "$request" >"$base.out" 2>"$base.err"
        echo $? >"$base.tmp"
        mv "$base.tmp" "$base.status"
        rm -f "$request"
    done
    sleep 0.05
done
