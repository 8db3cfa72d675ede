"""Whether a PKCS#12 file (RFC 7292) can sign: it is one, the password
opens it, and it holds a private key and a certificate. scripts/sign asks
this before it runs osslsigncode, so that what a user reads does not
depend on osslsigncode's version (2.5 says nothing of a wrong password).

The outer structure is read with python3-asn1crypto and the password's MAC
checked here, by the RFC; the key and the certificate are looked for with
python3-cryptography, which decrypts the bags as OpenSSL does (legacy
ciphers included).
"""
import hashlib
import hmac

from host_files import Refusal

# The MAC's digests this checks; any other is left to the decryption.
_DIGESTS = ("sha1", "sha224", "sha256", "sha384", "sha512")
# The most iterations of the MAC's key derivation this script or OpenSSL is
# let run, whatever the digest (OpenSSL makes 2,048).
MAC_ITERATION_LIMIT = 10_000_000


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


def _mac_matches(content, mac, passwords):
    """Whether the MacData holds for one of passwords; None when its digest
    is not one this reads (the check is then left to the decryption)."""
    # Whatever the digest: where this does not check the MAC, OpenSSL does,
    # and runs as many iterations as the file asks for.
    iterations = mac["iterations"].native
    if iterations < 1:
        raise ValueError("no iterations")
    if iterations > MAC_ITERATION_LIMIT:
        raise Refusal("this PKCS#12 file's MAC asks for more than %d iterations, which would take minutes"
                      % MAC_ITERATION_LIMIT)
    digest = mac["mac"]["digest_algorithm"]["algorithm"].native
    if digest not in _DIGESTS:
        return None
    expected, salt = mac["mac"]["digest"].native, mac["mac_salt"].native
    return any(hmac.compare_digest(hmac.new(_mac_key(digest, password, salt, iterations), content, digest).digest(),
                                   expected) for password in passwords)


def check_signer(data, password):
    """Refusal unless data is a PKCS#12 file that password (bytes, or None
    for none) opens, holding a private key and a certificate."""
    try:
        from asn1crypto.core import OctetString
        from asn1crypto.pkcs12 import Pfx
        from cryptography.hazmat.primitives.serialization import pkcs12
    except ImportError as e:
        raise Refusal("python3-%s is not installed (scripts/setup-debian installs it)" % e.name.split(".")[0])
    try:
        pfx = Pfx.load(data)
        content, mac = pfx["auth_safe"]["content"], pfx["mac_data"]
        # DER, as OpenSSL writes it, its integrity a password's MAC over data (not a signature)
        if pfx.dump(force=True) != data or pfx["version"].native != "v3" or not isinstance(content, OctetString):
            raise ValueError("not a PFX of password integrity")
        # Without a password OpenSSL tries an absent one and an empty one.
        passwords = [_bmp(password)] if password else [b"", _bmp(b"")]
        if mac and _mac_matches(content.native, mac, passwords) is False:
            raise Refusal("the password does not open this PKCS#12 file" if password else
                          "this PKCS#12 file has a password; give it with --pass")
    except (ValueError, TypeError):
        raise Refusal("not a PKCS#12 file (.pfx, .p12)")
    try:
        key, certificate, _ = pkcs12.load_key_and_certificates(data, password or None)
    except ValueError:
        raise Refusal("this PKCS#12 file cannot be opened with that password, or uses a cipher this "
                      "system cannot read")
    if key is None:
        raise Refusal("this PKCS#12 file holds no private key")
    if certificate is None:
        raise Refusal("this PKCS#12 file holds no certificate for its key")
