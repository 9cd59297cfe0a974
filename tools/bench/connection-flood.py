#!/usr/bin/env python3
"""Opens COUNT connections to the chat server from one loopback address, evenly over
SECONDS, as a hostile client would, and holds those the server keeps until the end; it
reads nothing. For measuring what such a flood costs a room (halvex-bench --room N) that
runs meanwhile.

    tools/bench/connection-flood.py [--host 127.0.0.1] [--port 6112]
        [--from 127.0.0.200] [--count 2000] [--seconds 4]
"""
import argparse
import ipaddress
import socket
import sys
import time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=6112)
    parser.add_argument("--from", dest="source", default="127.0.0.200")
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--seconds", type=float, default=4)
    options = parser.parse_args()
    if not (ipaddress.ip_address(options.host).is_loopback and
            ipaddress.ip_address(options.source).is_loopback):
        sys.exit("connection-flood.py: loopback only")
    if not 0 < options.count <= 20000 or not 0 < options.seconds <= 600:
        sys.exit("connection-flood.py: at most 20000 connections over at most 600 s")

    held = []
    opened = failed = 0
    start = time.monotonic()
    for n in range(options.count):
        time.sleep(max(0.0, start + n * options.seconds / options.count - time.monotonic()))
        client = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        client.settimeout(2)
        try:
            client.bind((options.source, 0))
            client.connect((options.host, options.port))
            held.append(client)
            opened += 1
        except OSError:
            client.close()
            failed += 1
    elapsed = time.monotonic() - start
    for client in held:
        client.close()
    print(f"flood: {opened} connected and {failed} failed from {options.source} "
          f"in {elapsed:.1f} s")


if __name__ == "__main__":
    main()
