"""Answers a careless client would trust: a redirect to another port, and a
reply far larger than any real one.

A huge reply is made while it is sent, one block at a time, so the simulator
can answer gigabytes without holding them. A client that gives up early
closes the connection under it; that is the expected end, not an error.
"""

BLOCK_SIZE = 1 << 20
_FILLER = b"x" * BLOCK_SIZE

# The reply is one XML-RPC string, so a client without a size limit reads a
# well-formed answer and nothing but the size tells it apart.
_PREFIX = b"<?xml version=\"1.0\"?>\n<methodResponse><params><param><value><string>"
_SUFFIX = b"</string></value></param></params></methodResponse>\n"


def matches(rule, method, path):
    """True when rule's "methods" names the XML-RPC method or one of its
    "paths" is a prefix of the request path."""
    if method is not None and method in (rule.get("methods") or []):
        return True
    return any(path.startswith(p) for p in (rule.get("paths") or []))


class HugeAnswer:
    """A 200 reply of exactly `size` bytes, generated block by block."""

    status = 200
    content_type = "text/xml"

    def __init__(self, size, chunked):
        self.size = size
        self.chunked = chunked
        self.headers = [("Transfer-Encoding", "chunked")] if chunked else [("Content-Length", str(size))]

    def blocks(self):
        if self.size < len(_PREFIX) + len(_SUFFIX):
            yield _FILLER[:self.size]
            return
        yield _PREFIX
        left = self.size - len(_PREFIX) - len(_SUFFIX)
        while left > 0:
            block = _FILLER if left >= BLOCK_SIZE else _FILLER[:left]
            left -= len(block)
            yield block
        yield _SUFFIX

    def write(self, out):
        """Sends the body; raises OSError when the client hangs up."""
        for block in self.blocks():
            if not block:
                continue
            if self.chunked:
                out.write(b"%x\r\n" % len(block))
                out.write(block)
                out.write(b"\r\n")
            else:
                out.write(block)
        if self.chunked:
            out.write(b"0\r\n\r\n")
