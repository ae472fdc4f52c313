#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that makes a loopback server look like a distant one: every request
waits half a round trip before it goes on and its answer half a round trip before it comes back,
and answers flow at a capped rate.

    slowproxy.py LISTEN-PORT TARGET-PORT [RTT-MS] [MBIT-PER-S]     (defaults: 50 ms, 100 Mbit/s)
"""
import asyncio
import sys
import time

LISTEN, TARGET = int(sys.argv[1]), int(sys.argv[2])
RTT = (float(sys.argv[3]) if len(sys.argv) > 3 else 50.0) / 1000.0
RATE = (float(sys.argv[4]) if len(sys.argv) > 4 else 100.0) * 1e6 / 8


async def pipe(reader, writer, delay, rate):
    """Copies until EOF; a burst after a pause (a new request or answer) waits `delay` first,
    and bytes are paced to `rate` bytes per second when a rate is given."""
    last = 0.0
    start, sent = time.monotonic(), 0
    try:
        while True:
            data = await reader.read(256 * 1024)
            if not data:
                break
            now = time.monotonic()
            if now - last > 0.005:  # a new exchange: the link's latency applies
                await asyncio.sleep(delay)
                start, sent = time.monotonic(), 0
            if rate:
                sent += len(data)
                ahead = sent / rate - (time.monotonic() - start)
                if ahead > 0:
                    await asyncio.sleep(ahead)
            writer.write(data)
            await writer.drain()
            last = time.monotonic()
    except (ConnectionError, asyncio.CancelledError):
        pass
    finally:
        try:
            writer.close()
        except Exception:
            pass


async def handle(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", TARGET)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pipe(client_reader, server_writer, RTT / 2, 0),
                         pipe(server_reader, client_writer, RTT / 2, RATE))


async def main():
    server = await asyncio.start_server(handle, "127.0.0.1", LISTEN)
    async with server:
        await server.serve_forever()


asyncio.run(main())
