#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Simulated cameras, with plain sockets: answers every probe it hears on
port 13702, 40 ms later, with one presence datagram per simulated peer, each
from its own address of this host.

    simulator.py ADDRESS=JSON [ADDRESS=JSON ...]

Commands on standard input, one per line:
    remove ADDRESS      that peer stops answering
    flood FIRST COUNT   announce COUNT peers from FIRST onwards, over and over
Prints "ready" once it listens.
"""
import ipaddress
import socket
import sys
import threading
import time

PORT = 13702
peers = {}
senders = {}
lock = threading.Lock()


def sender(address):
    if address not in senders:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.bind((address, 0))
        senders[address] = s
    return senders[address]


def broadcast(address, payload):
    # Bytes that are not UTF-8 arrive surrogate-escaped in argv: send them as they were.
    sender(address).sendto(payload.encode("utf-8", "surrogateescape"),
                           ("255.255.255.255", PORT))


def answer_probes(listener):
    while True:
        data, source = listener.recvfrom(2048)
        if b'"probe"' not in data:
            continue
        time.sleep(0.04)
        with lock:
            for address, payload in peers.items():
                broadcast(address, payload)


def flood(first, count):
    first = ipaddress.ip_address(first)
    while True:
        for n in range(count):
            address = str(first + n)
            broadcast(address, '{"version": 1, "type": "VideoTransmitter", "name": "flood %d"}' % n)
        time.sleep(0.001)


def main():
    for argument in sys.argv[1:]:
        address, payload = argument.split("=", 1)
        peers[address] = payload
    listener = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listener.bind(("0.0.0.0", PORT))
    threading.Thread(target=answer_probes, args=(listener,), daemon=True).start()
    print("ready", flush=True)
    for line in sys.stdin:
        words = line.split()
        if words[:1] == ["remove"]:
            with lock:
                peers.pop(words[1], None)
        elif words[:1] == ["flood"]:
            threading.Thread(target=flood, args=(words[1], int(words[2])), daemon=True).start()


if __name__ == "__main__":
    main()
