#!/usr/bin/env python3
"""Writes the hash list of a file: the MD4 digest of every 1 MiB piece, in
order, followed by the MD4 digest of those digests (an empty file has no
pieces, so its list is the digest of nothing).

    hashlist.py <file> <list>     write the list of <file> to <list>
    hashlist.py --self-test       check the MD4 against the RFC 1320 vectors

MD4 is written out here because Python's hashlib often lacks it (OpenSSL 3
moved it to the legacy provider).
"""
import struct
import sys

PIECE = 1 << 20
MASK = 0xFFFFFFFF


def _rotl(x, n):
    x &= MASK
    return ((x << n) | (x >> (32 - n))) & MASK


# The three rounds: function, added constant, word order, shifts.
ROUNDS = (
    (lambda x, y, z: (x & y) | (~x & z), 0, tuple(range(16)), (3, 7, 11, 19)),
    (lambda x, y, z: (x & y) | (x & z) | (y & z), 0x5A827999,
     (0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15), (3, 5, 9, 13)),
    (lambda x, y, z: x ^ y ^ z, 0x6ED9EBA1,
     (0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15), (3, 9, 11, 15)),
)


def md4(data):
    """The 16-byte MD4 digest of `data` (RFC 1320)."""
    length_bits = (len(data) * 8) & 0xFFFFFFFFFFFFFFFF
    message = data + b"\x80" + b"\0" * ((55 - len(data)) % 64) + struct.pack("<Q", length_bits)
    state = [0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476]
    for offset in range(0, len(message), 64):
        x = struct.unpack("<16I", message[offset:offset + 64])
        # v holds (a, b, c, d) turned so that v[0] is the word this step
        # changes: a, d, c, b, a, ...
        v = list(state)
        for function, constant, order, shifts in ROUNDS:
            for i in range(16):
                t = _rotl(v[0] + function(v[1], v[2], v[3]) + x[order[i]] + constant, shifts[i % 4])
                v = [v[3], t, v[1], v[2]]
        state = [(s + w) & MASK for s, w in zip(state, v)]
    return struct.pack("<4I", *state)


def hash_list(data):
    pieces = b"".join(md4(data[i:i + PIECE]) for i in range(0, len(data), PIECE))
    return pieces + md4(pieces)


RFC1320 = [
    (b"", "31d6cfe0d16ae931b73c59d7e0c089c0"),
    (b"a", "bde52cb31de33e46245e05fbdbd6fb24"),
    (b"abc", "a448017aaf21d8525fc10ae87aa6729d"),
    (b"message digest", "d9130a8164549fe818874806e1c7014b"),
    (b"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"),
    (b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "043f8582f241db351ce627e153e7f0e4"),
    (b"1234567890" * 8, "e33b4ddc9c38f2199c3e7b164fcc0536"),
]


def self_test():
    bad = [text for text, digest in RFC1320 if md4(text).hex() != digest]
    for text in bad:
        print("hashlist: MD4 wrong for %r" % text, file=sys.stderr)
    return 1 if bad else 0


def main(argv):
    if argv[1:] == ["--self-test"]:
        return self_test()
    if len(argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "rb") as source:
        data = source.read()
    with open(argv[2], "wb") as out:
        out.write(hash_list(data))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
