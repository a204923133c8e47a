#!/usr/bin/python3
# A reference BitTorrent peer for the swarm tests: python3-libtorrent seeding or leeching
# one torrent on a loopback address, without DHT, local discovery, UPnP or encryption.
# Writes "<progress-ppm> <peers> <done> <uploaded> <downloaded>" to the status file about
# ten times a second (TCP only: no uTP) and stops when the status file's folder holds a file named "stop".
import os
import sys
import time

import libtorrent as lt

mode, torrent, save, iface, port, connect, status = sys.argv[1:8]
settings = {
    "listen_interfaces": "%s:%s" % (iface, port),
    "outgoing_interfaces": iface,
    "enable_dht": False,
    "enable_lsd": False,
    "enable_upnp": False,
    "enable_natpmp": False,
    "enable_outgoing_utp": False,
    "enable_incoming_utp": False,
    "out_enc_policy": 2,
    "in_enc_policy": 1,
    "allow_multiple_connections_per_ip": True,
    "user_agent": "reference",
}
session = lt.session(settings)
params = lt.add_torrent_params()
params.ti = lt.torrent_info(torrent)
params.save_path = save
if mode == "seed":
    params.flags |= lt.torrent_flags.seed_mode
params.flags &= ~lt.torrent_flags.auto_managed
params.flags &= ~lt.torrent_flags.paused
handle = session.add_torrent(params)
stop = os.path.join(os.path.dirname(status), "stop")
last_connect = 0.0
while not os.path.exists(stop):
    now = time.time()
    if connect != "-" and now - last_connect > 2:
        host, _, peer_port = connect.rpartition(":")
        handle.connect_peer((host, int(peer_port)))
        last_connect = now
    s = handle.status()
    line = "%d %d %d %d %d\n" % (int(s.progress_ppm), s.num_peers, 1 if s.is_seeding else 0,
                                 s.total_payload_upload, s.total_payload_download)
    with open(status + ".tmp", "w") as f:
        f.write(line)
    os.replace(status + ".tmp", status)
    time.sleep(0.1)
