"""Whether a PKCS#12 file (RFC 7292) can sign: it is one, the password
opens it, and it holds a private key and a certificate. scripts/sign asks
this before it runs osslsigncode, so that what a user reads does not
depend on osslsigncode's version (2.5 says nothing of a wrong password).

The outer structure and the password's MAC are read here, by the RFC; the
key and the certificate are looked for with python3-cryptography, which
decrypts the bags as OpenSSL does (legacy ciphers included).
"""
import hashlib
import hmac

from host_files import Refusal

# The MAC's digest algorithms, by their object identifiers' DER bytes.
_DIGESTS = {
    bytes.fromhex("2b0e03021a"): "sha1",
    bytes.fromhex("608648016503040204"): "sha224",
    bytes.fromhex("608648016503040201"): "sha256",
    bytes.fromhex("608648016503040202"): "sha384",
    bytes.fromhex("608648016503040203"): "sha512",
}
_PKCS7_DATA = bytes.fromhex("2a864886f70d010701")
# The most iterations of the MAC's key derivation this script or OpenSSL is
# let run, whatever the digest (OpenSSL makes 2,048).
MAC_ITERATION_LIMIT = 10_000_000
_SEQUENCE, _INTEGER, _OCTET_STRING, _OID, _CONTEXT_0 = 0x30, 0x02, 0x04, 0x06, 0xA0


class _Malformed(Exception):
    pass


def _element(data, at, end):
    """(tag, start of the contents, end of the contents) of the DER element at at."""
    if at + 2 > end:
        raise _Malformed()
    tag, length = data[at], data[at + 1]
    at += 2
    if length & 0x80:
        count = length & 0x7F
        if count == 0 or count > 4 or at + count > end:
            raise _Malformed()  # indefinite or absurd lengths
        length = int.from_bytes(data[at:at + count], "big")
        at += count
    if at + length > end:
        raise _Malformed()
    return tag, at, at + length


def _children(data, start, end):
    children = []
    while start < end:
        tag, first, last = _element(data, start, end)
        children.append((tag, first, last))
        start = last
    return children


def _expect(child, tag):
    if child[0] != tag:
        raise _Malformed()
    return child


def _outer(data):
    """The authenticated content's bytes and the MacData's children (or None)."""
    tag, start, end = _element(data, 0, len(data))
    if tag != _SEQUENCE or end != len(data):
        raise _Malformed()
    pfx = _children(data, start, end)
    if len(pfx) not in (2, 3):
        raise _Malformed()
    _, v0, v1 = _expect(pfx[0], _INTEGER)
    if data[v0:v1] != b"\x03":
        raise _Malformed()
    content_info = _children(data, *_expect(pfx[1], _SEQUENCE)[1:])
    if len(content_info) != 2 or data[slice(*_expect(content_info[0], _OID)[1:])] != _PKCS7_DATA:
        raise _Malformed()
    explicit = _children(data, *_expect(content_info[1], _CONTEXT_0)[1:])
    if len(explicit) != 1:
        raise _Malformed()
    _, c0, c1 = _expect(explicit[0], _OCTET_STRING)
    mac = _children(data, *_expect(pfx[2], _SEQUENCE)[1:]) if len(pfx) == 3 else None
    return data[c0:c1], mac


def _bmp(password):
    """The password as PKCS#12 hashes it: UTF-16BE with a terminator (bytes
    that are not UTF-8 taken one character each, as OpenSSL takes them)."""
    try:
        text = password.decode("utf-8")
    except UnicodeDecodeError:
        text = password.decode("latin-1")
    return text.encode("utf-16-be") + b"\0\0"


def _mac_key(digest, password, salt, iterations):
    """RFC 7292 appendix B.2 with ID 3 (a MAC key), as long as the digest."""
    h = hashlib.new(digest)
    v, u = h.block_size, h.digest_size

    def fill(b):  # b repeated to the next multiple of v bytes
        n = -(-len(b) // v) * v
        return (b * (n // len(b) + 1))[:n] if b else b""

    block = bytes([3]) * v + fill(salt) + fill(password)
    for _ in range(iterations):
        block = hashlib.new(digest, block).digest()
    return block[:u]


def _mac_matches(data, content, mac, passwords):
    """Whether the MacData holds for one of passwords; None when its digest
    is not one this reads (the check is then left to the decryption)."""
    digest_info = _children(data, *_expect(mac[0], _SEQUENCE)[1:])
    algorithm = _children(data, *_expect(digest_info[0], _SEQUENCE)[1:])
    # Whatever the digest: where this does not check the MAC, OpenSSL does,
    # and runs as many iterations as the file asks for.
    iterations = int.from_bytes(data[slice(*_expect(mac[2], _INTEGER)[1:])], "big") if len(mac) > 2 else 1
    if iterations < 1:
        raise _Malformed()
    if iterations > MAC_ITERATION_LIMIT:
        raise Refusal("this PKCS#12 file's MAC asks for more than %d iterations, which would take minutes"
                      % MAC_ITERATION_LIMIT)
    digest = _DIGESTS.get(data[slice(*_expect(algorithm[0], _OID)[1:])])
    if digest is None:
        return None
    expected = data[slice(*_expect(digest_info[1], _OCTET_STRING)[1:])]
    salt = data[slice(*_expect(mac[1], _OCTET_STRING)[1:])]
    for password in passwords:
        key = _mac_key(digest, password, salt, iterations)
        if hmac.compare_digest(hmac.new(key, content, digest).digest(), expected):
            return True
    return False


def check_signer(data, password):
    """Refusal unless data is a PKCS#12 file that password (bytes, or None
    for none) opens, holding a private key and a certificate."""
    try:
        content, mac = _outer(data)
        # Without a password OpenSSL tries an absent one and an empty one.
        passwords = [_bmp(password)] if password else [b"", _bmp(b"")]
        if mac is not None and _mac_matches(data, content, mac, passwords) is False:
            raise Refusal("the password does not open this PKCS#12 file" if password else
                          "this PKCS#12 file has a password; give it with --pass")
    except (_Malformed, IndexError):
        raise Refusal("not a PKCS#12 file (.pfx, .p12)")
    try:
        from cryptography.hazmat.primitives.serialization import pkcs12
    except ImportError:
        raise Refusal("python3-cryptography is not installed (scripts/setup-debian installs it)")
    try:
        key, certificate, _ = pkcs12.load_key_and_certificates(data, password or None)
    except ValueError:
        raise Refusal("this PKCS#12 file cannot be opened with that password, or uses a cipher this "
                      "system cannot read")
    if key is None:
        raise Refusal("this PKCS#12 file holds no private key")
    if certificate is None:
        raise Refusal("this PKCS#12 file holds no certificate for its key")
