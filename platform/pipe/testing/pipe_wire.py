"""pipe_wire.py - the pipe layer's socket format, for the Python peers of tests, benches and the demo.

"\\\\.\\pipe\\NAME" is the socket file NAME (lower-cased) in the pipe folder.
A client sends b"C" to open (answer 1 admitted, 0 busy) or b"W" to wait for
a free instance; after admission every message is a u32 little-endian length
and its bytes, both ways.

Import it with the folder on sys.path:
    sys.path.insert(0, os.path.join(HERE, "<up to the tree>", "platform", "pipe", "testing"))
"""
import socket
import struct

ADMITTED = b"\x01"


def recv_exact(sock, size):
    """size bytes, however the peer split them; EOFError when it hangs up first."""
    data = bytearray()
    while len(data) < size:
        chunk = sock.recv(min(size - len(data), 1 << 20))
        if not chunk:
            raise EOFError("the peer closed the connection")
        data += chunk
    return bytes(data)


def frame(payload):
    """One message as it goes on the wire: its length, then its bytes."""
    return struct.pack("<I", len(payload)) + payload


def send_message(sock, payload):
    sock.sendall(frame(payload))


def recv_message(sock):
    (length,) = struct.unpack("<I", recv_exact(sock, 4))
    return recv_exact(sock, length)


def open_pipe(path, timeout=None):
    """A connection the server admitted (an open request answered 1), or None
    when every instance is busy. Connection errors are the caller's."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        if timeout is not None:
            sock.settimeout(timeout)
        sock.connect(path)
        sock.sendall(b"C")
        if sock.recv(1) == ADMITTED:
            return sock
    except BaseException:
        sock.close()
        raise
    sock.close()
    return None
