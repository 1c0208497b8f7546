#!/usr/bin/env python3
"""A simulated piece of equipment for the gateway demo.

Listens on 127.0.0.1 and answers framed requests, one connection at a time:
  request  STX 'R' <channel '0'..'3'> ETX BCC                        (5 bytes)
  answer   STX 'A' <channel> <sign> <5 digits, hundredths> ETX BCC   (11 bytes)
BCC is the XOR of the bytes before it with bit 6 set. With --faults N, every Nth answer carries
a wrong check byte and every (2N+1)th request finds the connection dropped instead of answered.
Prints "port <n>" once it listens, then runs until killed or until --seconds have passed.
"""
import argparse
import math
import socket
import sys
import time

STX, ETX = 0x02, 0x03


def bcc(data):
    x = 0
    for byte in data:
        x ^= byte
    return x | 0x40


def answer(channel, step):
    number = channel - ord('0')
    value = round(2000 * math.sin(step / 7.0 + number) + 500 * number)
    body = bytes([STX, ord('A'), channel]) + (b'+' if value >= 0 else b'-')
    body += b'%05d' % abs(value) + bytes([ETX])
    return body + bytes([bcc(body)])


def serve(conn, counters, faults):
    with conn:
        while True:
            request = b''
            while len(request) < 5:
                chunk = conn.recv(5 - len(request))
                if not chunk:
                    return
                request += chunk
            counters['requests'] += 1
            n = counters['requests']
            if faults and n % (2 * faults + 1) == 0:
                return  # drop the connection: the gateway must reconnect
            frame = bytearray(answer(request[2], n))
            if request[0] != STX or request[1] != ord('R') or bcc(request[:4]) != request[4]:
                frame[1] = ord('N')  # not understood
                frame[-1] = bcc(frame[:-1])
            if faults and n % faults == 0:
                frame[-1] ^= 0x01  # a corrupted frame
            conn.sendall(bytes(frame))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument('--port', type=int, default=0)
    parser.add_argument('--faults', type=int, default=0, metavar='N')
    parser.add_argument('--seconds', type=float, default=120.0)
    args = parser.parse_args()
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(('127.0.0.1', args.port))
    listener.listen(1)
    print('port', listener.getsockname()[1], flush=True)
    deadline = time.monotonic() + args.seconds
    counters = {'requests': 0}
    while time.monotonic() < deadline:
        listener.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            conn, _ = listener.accept()
        except socket.timeout:
            break
        conn.settimeout(max(0.1, deadline - time.monotonic()))
        try:
            serve(conn, counters, args.faults)
        except (socket.timeout, ConnectionError):
            pass
    return 0


if __name__ == '__main__':
    sys.exit(main())
