#!/bin/sh
# Steers one bus of a running MivraBox2 or MivraBox1 with Debian's `xmlrpc` command (package
# libxmlrpc-core-c3-dev): the state, the event after the one on air, a 4 s clip inserted after
# it, found again and deleted by its sys_id. Arguments are typed: i/ int, I/ 64-bit int (<i8>),
# s/ string, h/ byte string (<base64>) given in hexadecimal. `xmlrpc` builds no arrays: the one
# call that takes one, DeleteEvents2, goes out with curl.
#
#     examples/control/operator.sh [host:port] [bus]     (default 127.0.0.1:3001, bus 0)
set -eu
url="http://${1:-127.0.0.1:3001}/RPC2"
bus="${2:-0}"
tab=$(printf '\t')

# One call; prints the reply members named by the pattern in $1. A fault ("Failed. ...") or a
# negative "result" ends the script with status 1.
call() {
    want=$1
    shift
    echo "$1:"
    reply=$(xmlrpc "$url" "MivraBox.$@")
    show "$want"
}

# Prints the members of $reply named by the pattern in $1; a negative "result" fails.
show() {
    echo "$reply" | awk -v want="$1" '
        /Key: +String:/ { k = $NF; gsub("\047", "", k); next }
        /Value:/ && k == "result" && $NF < 0 { bad = 1 }
        /Value:/ && k ~ "^(" want ")$" { sub(/^ *Value: */, ""); print "    " k ": " $0 }
        { k = "" }
        END { exit bad }'
}

call 'result|time|count|curr_remain' GetState "i/$bus"
call 'result|event' GetEvent "i/$bus" i/1

# A playlist line: 15 TAB-separated columns (start, mode, in, out, duration, type, media, title,
# then seven empty ones). The in point makes the duration count: without one the daemons play the
# clip's whole length. The position is an <i8>: I/, not i/.
line="${tab} ${tab}00:00:00:00${tab}${tab}00:00:04:00${tab}C${tab}news${tab}Inserted by operator.sh"
line="${line}${tab}${tab}${tab}${tab}${tab}${tab}${tab}"

# MivraBox2 takes the line as a string. MivraBox1 takes it as a byte string: the zlib stream
# (level 9) of the line with its terminating NUL; only MivraBox1 knows the method
# SetTimeofdayAdvance, so a "+0" advance (no change) tells the two apart.
if xmlrpc "$url" MivraBox.SetTimeofdayAdvance s/+0 >/dev/null 2>&1; then
    body="h/$(printf '%s\0' "$line" | python3 -c \
        'import sys, zlib; print(zlib.compress(sys.stdin.buffer.read(), 9).hex())')"
else
    body="s/$line"
fi
call 'result|count' InsertEvent "i/$bus" "$body" I/1

# Positions move whenever an event leaves the air, so the clip is found by its title (SearchEvent
# flag 1) and deleted by its sys_id (the state's "er" member 1 in GetEvent's reply).
title="Inserted by operator.sh"
tries=0
while :; do
    call 'result' SearchEvent "i/$bus" "s/$title" i/-1 i/1
    idx=$(echo "$reply" | awk '/Key: +String: .result./ { getline; print $NF; exit }')
    call 'result|event' GetEvent "i/$bus" "i/$idx"
    case "$reply" in *"$title"*) break ;; esac
    tries=$((tries + 1))
    [ "$tries" -lt 3 ] || { echo "operator.sh: the inserted clip moved away" >&2; exit 1; }
done
sys_id=$(echo "$reply" | awk '/Index +1 64-bit integer:/ { print $NF; exit }')

echo "DeleteEvents2 [[$sys_id]]:"
reply=$(curl -sS -H 'Content-Type: text/xml' "$url" --data-binary "<?xml version=\"1.0\"?>
<methodCall><methodName>MivraBox.DeleteEvents2</methodName><params>
<param><value><int>$bus</int></value></param>
<param><value><array><data><value><array><data>
<value><i8>$sys_id</i8></value></data></array></value></data></array></value></param>
</params></methodCall>")
result=$(echo "$reply" | tr -d '\r\n' |
    sed -n 's#.*<name>result</name> *<value> *<\(int\|i4\)>\(-*[0-9]*\)<.*#\2#p')
echo "    result: Integer: ${result:-none}"
[ "${result:--1}" -ge 0 ]
