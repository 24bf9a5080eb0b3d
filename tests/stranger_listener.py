#!/usr/bin/env python3
"""A listener of another local user, for the tests of whom the filter talks to.

    stranger_listener.py USER PORT [PORT...]

Started as root, it becomes USER (its groups too) before it makes any
socket, listens on 127.0.0.1 at each PORT (0: one the system chooses;
a port that a stopped controller left in its endpoint files is taken
again), and reads every connection to its end. On standard output, one
line each, flushed at once:

    listening PORT      once for each port, before anything else
    connection PORT     a connection was accepted on PORT
    bytes PORT N        N more bytes arrived on a connection to PORT
    closed PORT         the other side closed a connection to PORT

It runs until SIGTERM or SIGINT.
"""
import os
import pwd
import selectors
import signal
import socket
import sys


def become(user):
    entry = pwd.getpwnam(user)
    os.setgroups([])
    os.setgid(entry.pw_gid)
    os.setuid(entry.pw_uid)
    if os.geteuid() != entry.pw_uid or os.getegid() != entry.pw_gid:
        sys.exit("could not become " + user)


def say(*words):
    print(*words, flush=True)


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    become(sys.argv[1])
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

    selector = selectors.DefaultSelector()
    for port in sys.argv[2:]:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", int(port)))
        listener.listen(16)
        port = listener.getsockname()[1]
        selector.register(listener, selectors.EVENT_READ, ("listener", port))
        say("listening", port)

    while True:
        for key, _ in selector.select():
            kind, port = key.data
            if kind == "listener":
                connection, _ = key.fileobj.accept()
                selector.register(connection, selectors.EVENT_READ,
                                  ("connection", port))
                say("connection", port)
                continue
            try:
                data = key.fileobj.recv(65536)
            except OSError:
                data = b""
            if data:
                say("bytes", port, len(data))
            else:
                selector.unregister(key.fileobj)
                key.fileobj.close()
                say("closed", port)


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
