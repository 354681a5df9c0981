#!/bin/sh
# Writes a register and reads it back through the connection that
# `vekctl -p PORT serve` serves, with socat (or nc -U from OpenBSD netcat).
#   vekshare.sh demo 02A 5C
port=${1:-demo} addr=${2:-02A} value=${3:-5C}
case $port in
    demo | rfc2217://*) name=$port ;;
    */*) name=$(realpath "$port") ;;
    *) name=$(realpath "/dev/$port") ;;
esac
# The socket's name is the port's name, percent-encoded (/ is %2F).
sock=${XDG_RUNTIME_DIR:-/tmp/runtime-$(id -un)}/vekcomm/$(printf %s "$name" | sed 's|/|%2F|g; s|:|%3A|g')
# A client that closes its side has gone: its requests still queued are
# dropped. So the input stays open until the replies are in.
requests() {
    printf '{"id":1,"cmd":"hello"}\n'
    printf '{"id":2,"cmd":"write","addr":"%s","value":"%s"}\n' "$addr" "$value"
    printf '{"id":3,"cmd":"read","addr":"%s"}\n' "$addr"
    sleep 1
}
if command -v socat >/dev/null; then
    requests | socat - "UNIX-CONNECT:$sock"
else
    requests | nc -U "$sock"
fi
