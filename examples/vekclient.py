#!/usr/bin/env python3
"""Reads and writes a VEK target's registers through the connection that
vekctl serve or the VekComm window serves (standard library only).

  vekclient.py PORT read ADDR        prints 'ADDR VALUE'
  vekclient.py PORT write ADDR VALUE
  vekclient.py PORT watch            prints what other programs write and read
"""
import getpass, hashlib, json, os, socket, sys
from urllib.parse import quote

def socket_path(port):
    if port != "demo" and not port.startswith("rfc2217://"):
        port = os.path.realpath(port if "/" in port else "/dev/" + port)
    folder = (os.environ.get("XDG_RUNTIME_DIR") or "/tmp/runtime-" + getpass.getuser()) + "/vekcomm"
    name = quote(port, safe="")
    if len(os.fsencode(folder)) + len(name) > 100:
        name = hashlib.sha1(port.encode()).hexdigest()
    return folder + "/" + name

def main(port, cmd, *args):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(socket_path(port))
    lines = sock.makefile("rw", encoding="utf-8", newline="\n")
    def call(**request):
        lines.write(json.dumps(request) + "\n"); lines.flush()
        for line in lines:
            reply = json.loads(line)
            if "event" not in reply:
                if not reply["ok"]:
                    sys.exit(print(reply["error"]["message"], file=sys.stderr) or reply["error"]["status"])
                return reply
        sys.exit("the server went away")
    call(id=1, cmd="hello")
    if cmd == "read":
        print(args[0].upper(), call(id=2, cmd="read", addr=args[0])["value"])
    elif cmd == "write":
        call(id=2, cmd="write", addr=args[0], value=args[1])
    elif cmd == "watch":
        call(id=2, cmd="subscribe")
        for line in lines:
            print(line, end="", flush=True)

if __name__ == "__main__":
    main(*sys.argv[1:])
