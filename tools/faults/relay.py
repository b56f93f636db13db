"""relay.py: a TCP relay between a gate server and its database that the fault harness steers.

    python relay.py LISTEN_HOST:PORT TARGET_HOST:PORT MODE_FILE

The mode file holds one word, read every 50 ms: "pass" forwards; "delay" forwards each
chunk 200 ms late; "freeze" keeps every socket open and forwards nothing (what a
dropped path looks like to the ends: the kernel still acknowledges); "reset" closes
every connection at once with a TCP reset and refuses new ones.
"""
import asyncio
import pathlib
import socket
import struct
import sys

CHUNK = 65536


def mode(path: pathlib.Path) -> str:
    try:
        return path.read_text().strip() or "pass"
    except OSError:
        return "pass"


async def pump(reader, writer, path, connections):
    try:
        while True:
            data = await reader.read(CHUNK)
            if not data:
                break
            while (now := mode(path)) == "freeze":
                await asyncio.sleep(0.05)
            if now == "reset":
                break
            if now == "delay":
                await asyncio.sleep(0.2)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError):
        pass
    finally:
        for each in connections:
            abort(each)


def abort(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        try:  # linger 0: the peer gets a reset, as a broken path or a restarted host gives
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    writer.transport.abort()


async def main(listen: str, target: str, mode_file: str):
    path = pathlib.Path(mode_file)
    target_host, target_port = target.rsplit(":", 1)
    live: set = set()

    async def serve(client_reader, client_writer):
        if mode(path) == "reset":
            abort(client_writer)
            return
        try:
            server_reader, server_writer = await asyncio.open_connection(target_host, int(target_port))
        except OSError:
            abort(client_writer)
            return
        pair = (client_writer, server_writer)
        live.add(pair)
        await asyncio.gather(pump(client_reader, server_writer, path, pair),
                             pump(server_reader, client_writer, path, pair))
        live.discard(pair)

    async def watch_resets():
        while True:
            if mode(path) == "reset":
                for pair in list(live):
                    for each in pair:
                        abort(each)
            await asyncio.sleep(0.05)

    host, port = listen.rsplit(":", 1)
    server = await asyncio.start_server(serve, host, int(port))
    pathlib.Path(mode_file + ".ready").touch()  # listening: the harness may start its server
    async with server:
        await asyncio.gather(server.serve_forever(), watch_resets())


if __name__ == "__main__":
    asyncio.run(main(*sys.argv[1:4]))
