#!/usr/bin/python3
# A peer on the local network for the discovery test, run inside the test's own network
# namespace: it listens for the engine's multicast announcements (group 233.65.31.78, port
# 31576) on the interface of `address`, answers an announcement of the torrent with its own
# (type 0, so the engine must reply with type 1), and waits on `port` for the engine's
# BitTorrent handshake. What it saw goes to files in `out`: "announce", "reply",
# "handshake".
import os
import select
import socket
import struct
import sys
import time

address, port, hash_hex, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
info_hash = bytes.fromhex(hash_hex)
group = "233.65.31.78"

udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
udp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
udp.bind(("", 31576))
udp.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
               socket.inet_aton(group) + socket.inet_aton(address))
udp.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(address))
tcp = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
tcp.bind((address, port))
tcp.listen(4)


def mark(name, text=""):
    with open(os.path.join(out, name), "a") as f:
        f.write(text + "\n")


own = struct.pack(">I", 0) + socket.inet_aton(address) + struct.pack(">HHI", port, 0, 0) + \
    info_hash + b"R" * 20
end = time.time() + 90
while time.time() < end:
    ready, _, _ = select.select([udp, tcp], [], [], 0.2)
    if udp in ready:
        data, sender = udp.recvfrom(512)
        if len(data) >= 56 and data[16:36] == info_hash and data[36:56] != b"R" * 20:
            kind = struct.unpack(">I", data[12:16])[0]
            ip = socket.inet_ntoa(data[4:8])
            mark("reply" if kind == 1 else "announce", "%s %d" % (ip, struct.unpack(">H", data[8:10])[0]))
            if kind == 0:
                udp.sendto(own, (group, 31576))
    if tcp in ready:
        conn, _ = tcp.accept()
        conn.settimeout(5)
        got = b""
        try:
            while len(got) < 68:
                chunk = conn.recv(68 - len(got))
                if not chunk:
                    break
                got += chunk
        except OSError:
            pass
        if len(got) >= 48 and got[0] == 19 and got[28:48] == info_hash:
            mark("handshake")
        conn.close()
