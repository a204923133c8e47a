"""A reference DHT node for interoperability tests, run in a network namespace.

Prints one JSON object per line on standard output:
  {"nodes": N}                   every second: contacts in the routing table
  {"peers": ["ip:port", ...]}    each answer of a lookup (--lookup)
  {"announced": true}            once an announce went out (--announce)
Runs until --seconds have passed (or it is killed).
"""
import argparse
import json
import time

import libtorrent as lt


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--ip", required=True)
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--bootstrap", default="", help="ip:port[,ip:port]")
    parser.add_argument("--announce", default="", help="info hash (hex) to announce")
    parser.add_argument("--lookup", default="", help="info hash (hex) to look up")
    parser.add_argument("--save-path", default="/tmp")
    parser.add_argument("--seconds", type=float, default=120)
    parser.add_argument("--log", action="store_true", help="also print DHT packets")
    args = parser.parse_args()

    settings = {
        "enable_dht": True,
        "enable_lsd": False,
        "enable_upnp": False,
        "enable_natpmp": False,
        "listen_interfaces": "%s:%d" % (args.ip, args.port),
        "outgoing_interfaces": args.ip,
        # No router nodes: the session keeps routers out of its routing table, and these
        # nodes must end up in each other's tables. They are added as ordinary nodes below.
        "dht_bootstrap_nodes": "",
        # Every node of the test sits in one /24: allow them all in the table.
        "dht_restrict_routing_ips": False,
        "dht_restrict_search_ips": False,
        "dht_prefer_verified_node_ids": False,
        "dht_ignore_dark_internet": False,
        "alert_mask": lt.alert.category_t.dht_notification
        | lt.alert.category_t.dht_operation_notification
        | lt.alert.category_t.status_notification
        | lt.alert.category_t.error_notification,
    }
    if args.log:
        settings["alert_mask"] |= lt.alert.category_t.dht_log_notification
    session = lt.session(settings)
    bootstrap = []
    for endpoint in filter(None, args.bootstrap.split(",")):
        host, port = endpoint.rsplit(":", 1)
        bootstrap.append((host, int(port)))
    table_size = 0
    torrent = None
    if args.announce:
        # A torrent known by its hash alone: the session announces it to the DHT with its
        # listening port, as any BitTorrent peer of that swarm does.
        params = lt.add_torrent_params()
        params.info_hashes = lt.info_hash_t(lt.sha1_hash(bytes.fromhex(args.announce)))
        params.save_path = args.save_path
        torrent = session.add_torrent(params)
    end = time.time() + args.seconds
    last_report = 0.0
    last_action = -5.0
    while time.time() < end:
        now = time.time()
        if now - last_report >= 1.0:
            last_report = now
            session.post_dht_stats()
        if now - last_action >= 5.0:
            last_action = now
            # Ordinary nodes are pinged once; until one answered, ask again.
            if table_size == 0:
                for node in bootstrap:
                    session.add_dht_node(node)
            if torrent is not None:
                torrent.force_dht_announce()
                print(json.dumps({"announced": True}), flush=True)
            if args.lookup:
                session.dht_get_peers(lt.sha1_hash(bytes.fromhex(args.lookup)))
        session.wait_for_alert(200)
        for alert in session.pop_alerts():
            if isinstance(alert, lt.dht_stats_alert):
                count = sum(b["num_nodes"] for b in alert.routing_table)
                table_size = count
                print(json.dumps({"nodes": count}), flush=True)
            elif args.log and isinstance(alert, (lt.dht_pkt_alert, lt.dht_log_alert)):
                print(json.dumps({"log": alert.message()}), flush=True)
            elif isinstance(alert, lt.dht_get_peers_reply_alert):
                peers = ["%s:%d" % (p[0], p[1]) for p in alert.peers()]
                print(json.dumps({"peers": peers}), flush=True)


if __name__ == "__main__":
    main()
