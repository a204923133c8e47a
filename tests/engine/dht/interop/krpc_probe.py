"""Raw KRPC traffic for the flood test, run in a network namespace.

flood: sends --count ping queries to --target as fast as the socket takes them.
ping:  sends --count pings, one every --interval seconds, each waiting up to 1 s for its
       answer; prints {"answered": N}.
"""
import argparse
import json
import os
import socket
import time


def ping_query(node_id, tid):
    return b"d1:ad2:id20:" + node_id + b"e1:q4:ping1:t2:" + tid + b"1:y1:qe"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["flood", "ping"])
    parser.add_argument("--target", required=True, help="ip:port")
    parser.add_argument("--count", type=int, default=10000)
    parser.add_argument("--interval", type=float, default=0.1)
    args = parser.parse_args()
    host, port = args.target.rsplit(":", 1)
    target = (host, int(port))
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    node_id = os.urandom(20)
    if args.mode == "flood":
        for i in range(args.count):
            sock.sendto(ping_query(node_id, (i % 65536).to_bytes(2, "big")), target)
        print(json.dumps({"sent": args.count}), flush=True)
        return
    sock.settimeout(1.0)
    answered = 0
    for i in range(args.count):
        tid = (i % 65536).to_bytes(2, "big")
        sock.sendto(ping_query(node_id, tid), target)
        deadline = time.time() + 1.0
        while time.time() < deadline:
            try:
                data, _ = sock.recvfrom(2048)
            except socket.timeout:
                break
            if b"1:t2:" + tid in data and data.endswith(b"1:y1:re"):
                answered += 1
                break
        time.sleep(args.interval)
    print(json.dumps({"answered": answered}), flush=True)


if __name__ == "__main__":
    main()
