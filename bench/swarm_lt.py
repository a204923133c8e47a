#!/usr/bin/python3
"""The libtorrent client of bench/swarm.sh (python3-libtorrent, Debian's /usr/bin/python3).

  swarm_lt.py --save DIR TORRENT...

Fetches the torrents (web-seeded through their url-list) with the session's defaults, except
what would reach beyond the bench's namespaces (the DHT, UPnP and NAT-PMP are off; local
service discovery stays on, it only reaches the bench's bridge) and with every torrent active
at once (the default queue runs three downloads at a time; the five files are one game).
Prints "swarm_lt: complete" once every torrent is complete, then seeds until SIGTERM or
SIGINT and prints its totals as one line "swarm_lt: totals {json}": payload received and
sent, bytes wanted, redundant and failed bytes, each summed over the torrents.
"""
import argparse
import json
import signal
import sys
import time

import libtorrent as lt

stop = False


def on_signal(*_):
    global stop
    stop = True


def totals(handles):
    sums = {"downloaded": 0, "uploaded": 0, "wanted": 0, "redundant": 0, "failed": 0}
    for s in (h.status() for h in handles):
        sums["downloaded"] += s.total_payload_download
        sums["uploaded"] += s.total_payload_upload
        sums["wanted"] += s.total_wanted
        sums["redundant"] += s.total_redundant_bytes
        sums["failed"] += s.total_failed_bytes
    return sums


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--save", required=True)
    p.add_argument("torrents", nargs="+")
    args = p.parse_args()
    for signo in (signal.SIGTERM, signal.SIGINT):
        signal.signal(signo, on_signal)
    ses = lt.session({
        "enable_dht": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "active_downloads": -1,
        "alert_mask": lt.alert.category_t.error_notification,
    })
    handles = []
    for path in args.torrents:
        params = lt.add_torrent_params()
        params.ti = lt.torrent_info(path)
        params.save_path = args.save
        handles.append(ses.add_torrent(params))
    complete = False
    while not stop:
        if not complete and all(h.status().is_seeding for h in handles):
            complete = True
            print("swarm_lt: complete", flush=True)
            print("swarm_lt: at completion " + json.dumps(totals(handles)), flush=True)
        for alert in ses.pop_alerts():
            print("swarm_lt: alert: " + alert.message(), flush=True)
        time.sleep(0.1)
    print("swarm_lt: totals " + json.dumps(totals(handles)), flush=True)
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
