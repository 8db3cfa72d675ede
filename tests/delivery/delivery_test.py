#!/usr/bin/python3
"""The delivered programs signed and packed, checked by tools that are not
ours: osslsigncode verifies each signature against a throwaway root made
here, pefile reads the certificate table and the checksum, the signed
uninstaller runs on both emulated processors; cabextract, Python's XML
parser and a reader of the .000 written here from its public description
read each CAB's members and its two manifests; Python's tarfile and zipfile
read the release archives.

    delivery_test.py --source DIR --sim SIM --build DIR --version VERSION [--cabs CAB...] --images IMAGE...
        -- Signing|Cab|Release

Without the Pocket PC build or a tool it needs, a suite is skipped (exit
code 77), and fails instead in CI (CI=true).
"""
import argparse
import hashlib
import os
import shutil
import signal
import stat
import struct
import subprocess
import sys
import tarfile
import tempfile
import time
import unittest
import zipfile
import xml.etree.ElementTree as ET

import pefile

ARGS = None
SHIPPED_SHA256 = "66d009c055409783fd35e12797fee9ddc173e0f01a32cbd49dbf1408e712127b"
PASSWORD = "throwaway"
# More than a pipe takes at once (64 KiB on Linux), and a password all the same.
LONG_PASSWORD = "y" * 70000
# The build's two CABs, as a device is to show them: the application's name,
# which Remove Programs lists and which names its folder in \Program Files,
# and each program's Start menu shortcut. The device user's holds the
# uninstaller alone, its shortcut named as its boxes are captioned; the
# owner's who proves it, the kit and the trace build.
CABS = {
    "TRQUninstall.cab": ("TRQ Uninstall", {"TRQUninstall.exe": "TRQ Uninstall.lnk"}),
    "TRQUninstallKit.cab": ("TRQ Uninstall Kit", {"TRQUninstallKit.exe": "TRQUninstallKit.lnk",
                                                  "TRQUninstallTrace.exe": "TRQUninstallTrace.lnk"}),
}


def run(command, **kw):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, **kw)


def require(*tools):
    missing = [tool for tool in tools if not shutil.which(tool)]
    if not ARGS.images:
        missing.append("the Pocket PC build (arm-none-eabi-g++)")
    if missing:
        if os.environ.get("CI") == "true":
            raise AssertionError("missing: " + ", ".join(missing))
        raise unittest.SkipTest("missing: " + ", ".join(missing))


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def folder_state(folder):
    """Each name in folder with what it holds: a link's target, a file's bytes,
    a folder's state, or the kind of anything else (a FIFO is not read)."""
    def state(path):
        mode = os.lstat(path).st_mode
        return os.readlink(path) if stat.S_ISLNK(mode) else folder_state(path) if stat.S_ISDIR(mode) \
            else read(path) if stat.S_ISREG(mode) else stat.S_IFMT(mode)
    return {name: state(os.path.join(folder, name)) for name in os.listdir(folder)}


def stalling(name):
    """A program called name, in a folder of its own, that makes a file when
    it starts and then waits to be killed: the long step a script is stopped
    in. Its folder, and the file it makes."""
    folder = tempfile.mkdtemp()
    marker = os.path.join(folder, "started")
    write(os.path.join(folder, name), ("#!/bin/sh\n: > '%s'\nexec sleep 60\n" % marker).encode())
    os.chmod(os.path.join(folder, name), 0o755)
    return folder, marker


def stopped(command, marker, signum, **kw):
    """command run and sent signum once the program it waits for has made
    marker; what it ended with, as run() gives it. SIGINT is let through as
    a terminal's Ctrl-C sends it, whatever the test was started with."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL), **kw)
    while not os.path.exists(marker) and process.poll() is None:
        time.sleep(0.02)
    process.send_signal(signum)
    out, err = process.communicate()
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def run_or_stop(command, stall=None, signum=signal.SIGTERM):
    """command run; with stall, the name of a program it runs from PATH, that
    program made to wait and command stopped by signum meanwhile."""
    if not stall:
        return run(command)
    tools, marker = stalling(stall)
    try:
        env = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"])
        return stopped(command, marker, signum, env=env)
    finally:
        shutil.rmtree(tools)


def assert_refused(test, done, code, says):
    """One line saying says, exit code code; or, stopped by a signal (code
    its negative), nothing said."""
    if code < 0:
        test.assertEqual((done.returncode, done.stderr), (code, ""))
        return
    test.assertEqual(done.returncode, code, done.stderr)
    test.assertEqual(done.stderr.count("\n"), 1, done.stderr)
    test.assertIn(says, done.stderr)


def der(data, at=0):
    """(tag, contents' start, end) of the DER element at at."""
    tag, length, at = data[at], data[at + 1], at + 2
    if length & 0x80:
        count = length & 0x7F
        length, at = int.from_bytes(data[at:at + count], "big"), at + count
    return tag, at, at + length


def der_children(data):
    _, at, end = der(data)
    children = []
    while at < end:
        children.append(data[at:der(data, at)[2]])
        at = der(data, at)[2]
    return children


def der_encode(tag, contents):
    if len(contents) < 0x80:
        return bytes([tag, len(contents)]) + contents
    size = len(contents).to_bytes((len(contents).bit_length() + 7) // 8, "big")
    return bytes([tag, 0x80 | len(size)]) + size + contents


def with_mac_iterations(pkcs12, iterations):
    """A PKCS#12 file (RFC 7292) whose MacData, its last element, asks for
    iterations: the count, the MacData's last element, written anew."""
    pfx = der_children(pkcs12)
    mac = der_children(pfx[-1])
    mac[-1] = der_encode(0x02, iterations.to_bytes((iterations.bit_length() + 8) // 8, "big"))
    pfx[-1] = der_encode(0x30, b"".join(mac))
    return der_encode(0x30, b"".join(pfx))


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require("openssl", "osslsigncode")
        cls.tmp = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        cls.ca, key, cert = (os.path.join(cls.tmp, name) for name in ("ca.pem", "signer.key", "signer.pem"))
        cls.pkcs12 = os.path.join(cls.tmp, "signer.p12")
        for command in (
            ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", os.path.join(cls.tmp, "ca.key"),
             "-out", cls.ca, "-days", "2", "-subj", "/CN=Throwaway Root",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign"],
            ["req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
             "-subj", "/CN=Throwaway Signer", "-CA", cls.ca, "-CAkey", os.path.join(cls.tmp, "ca.key"),
             "-addext", "basicConstraints=critical,CA:FALSE", "-addext", "keyUsage=critical,digitalSignature",
             "-addext", "extendedKeyUsage=codeSigning"],
            ["pkcs12", "-export", "-inkey", key, "-in", cert, "-certfile", cls.ca, "-out", cls.pkcs12,
             "-passout", "pass:" + PASSWORD],
            ["pkcs12", "-export", "-nokeys", "-in", cert, "-out", os.path.join(cls.tmp, "no-key.p12"),
             "-passout", "pass:" + PASSWORD]):
            made = run(["openssl"] + command)
            assert made.returncode == 0, made.stderr
        # MACs of digests the script's own check does not compute, asking for
        # 2^31-1 iterations, which OpenSSL runs for about ten minutes.
        cls.slow_mac = {}
        for digest in ("md5", "sha512-256"):
            made = os.path.join(cls.tmp, digest + ".p12")
            exported = run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", made,
                            "-passout", "pass:" + PASSWORD, "-macalg", digest])
            assert exported.returncode == 0, exported.stderr
            cls.slow_mac[digest] = os.path.join(cls.tmp, "slow-" + digest + ".p12")
            write(cls.slow_mac[digest], with_mac_iterations(read(made), 2 ** 31 - 1))
        from cryptography import x509
        from cryptography.hazmat.primitives.serialization import BestAvailableEncryption, load_pem_private_key, pkcs12
        cls.long_password = os.path.join(cls.tmp, "long-password.p12")
        write(cls.long_password, pkcs12.serialize_key_and_certificates(
            b"signer", load_pem_private_key(read(key), None), x509.load_pem_x509_certificate(read(cert)), None,
            BestAvailableEncryption(LONG_PASSWORD.encode())))

    def copy(self, source, case):
        folder = tempfile.mkdtemp(dir=self.tmp, prefix=case + ".")
        shutil.copy(source, folder)
        return os.path.join(folder, os.path.basename(source))

    def sign(self, *args):
        return run([os.path.join(ARGS.source, "scripts", "sign"), "--pkcs12", self.pkcs12, "--pass", PASSWORD,
                    *args])

    def uninstaller(self):
        return next(image for image in ARGS.images if os.path.basename(image) == "TRQUninstall.exe")

    def test_the_unsigned_uninstaller_is_the_shipped_image(self):
        self.assertEqual(hashlib.sha256(read(self.uninstaller())).hexdigest(), SHIPPED_SHA256)

    def test_each_signed_file_verifies_and_a_changed_byte_does_not(self):
        for original in ARGS.images + ARGS.cabs:
            for options, digest in (([], "SHA1"), (["--sha256"], "SHA256")):
                with self.subTest(file=os.path.basename(original), digest=digest):
                    copy = self.copy(original, digest)
                    signed = self.sign(*options, copy)
                    self.assertEqual((signed.returncode, signed.stderr), (0, ""))
                    verified = run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", copy])
                    self.assertEqual(verified.returncode, 0, verified.stdout + verified.stderr)
                    self.assertEqual(self.signed_digests(copy), {digest})
                    if original.endswith(".exe"):
                        self.check_certificate_table(copy)
                    else:
                        self.assertEqual(run(["cabextract", "-t", copy]).returncode, 0)
                    data = bytearray(read(copy))
                    data[len(read(original)) // 2] ^= 0xFF  # within what the signature covers
                    write(copy, bytes(data))
                    self.assertNotEqual(run(["osslsigncode", "verify", "-CAfile", self.ca, "-in", copy]).returncode,
                                        0)

    # The digest algorithms' object identifiers as DER writes them.
    DIGEST_OIDS = {"SHA1": bytes.fromhex("06052b0e03021a"), "SHA256": bytes.fromhex("0609608648016503040201")}

    def signed_digests(self, copy):
        """The digests the signature of copy names, read from its DER bytes
        rather than from what osslsigncode's version prints."""
        signature = copy + ".p7"
        extracted = run(["osslsigncode", "extract-signature", "-in", copy, "-out", signature])
        self.assertEqual(extracted.returncode, 0, extracted.stdout + extracted.stderr)
        data = read(signature)
        return {name for name, oid in self.DIGEST_OIDS.items() if oid in data}

    def check_certificate_table(self, copy):
        pe = pefile.PE(copy)
        table = pe.OPTIONAL_HEADER.DATA_DIRECTORY[4]  # the certificate table: a file offset, not an address
        data = pe.__data__
        self.assertGreaterEqual(table.VirtualAddress, max(s.PointerToRawData + s.SizeOfRawData for s in pe.sections))
        self.assertEqual(table.VirtualAddress + table.Size, len(data))
        length, revision, kind = struct.unpack_from("<IHH", data, table.VirtualAddress)
        self.assertEqual((revision, kind), (0x0200, 0x0002))  # WIN_CERT_REVISION_2_0, PKCS_SIGNED_DATA
        self.assertLessEqual(length, table.Size)
        self.assertEqual(pe.generate_checksum(), pe.OPTIONAL_HEADER.CheckSum)

    def test_the_signed_uninstaller_runs_with_the_unsigned_ones_trace(self):
        signed = self.copy(self.uninstaller(), "run")
        self.assertEqual(self.sign(signed).returncode, 0)
        for cpu in ("sa1110", "pxa270"):
            runs = []
            for name, exe in (("unsigned", self.uninstaller()), ("signed", signed)):
                device = os.path.join(self.tmp, cpu + "-" + name)
                self.assertEqual(run([ARGS.sim, "--init-device", device]).returncode, 0)
                done = run([ARGS.sim, "--device", device, "--exe", exe, "--cpu", cpu, "--answer", "yes,yes",
                            "--trace", device + ".jsonl"])
                runs.append((done.returncode, done.stdout, read(device + ".jsonl")))
            self.assertEqual(runs[1], runs[0], cpu)
            self.assertEqual(runs[0][0], 0, cpu)

    # Each refusal: the exit code, one line naming the cause, and the folder
    # of the images as it was (nothing signed, nothing left behind); and the
    # same of a script stopped while osslsigncode signs (exit code -SIGTERM).
    REFUSALS = [
        ("without --pkcs12", lambda c: ["--pass", PASSWORD, c.image], 2, "--pkcs12 FILE is required"),
        ("a wrong password", lambda c: ["--pkcs12", c.pkcs12, "--pass", "wrong", c.image], 1,
         "signer.p12: the password does not open this PKCS#12 file"),
        ("no password", lambda c: ["--pkcs12", c.pkcs12, c.image], 1, "has a password; give it with --pass"),
        ("a wrong password beginning with '-'", lambda c: ["--pkcs12", c.pkcs12, "--pass", "-wrong", c.image], 1,
         "signer.p12: the password does not open this PKCS#12 file"),
        ("--pass given --, the end of the options", lambda c: ["--pkcs12", c.pkcs12, "--pass", "--", c.image], 2,
         "--pass"),
        ("a text file for the key", lambda c: ["--pkcs12", c.text, c.image], 1,
         "notes.txt: not a PKCS#12 file"),
        ("certificates without a key", lambda c: ["--pkcs12", c.no_key, "--pass", PASSWORD, c.image], 1,
         "no-key.p12: this PKCS#12 file holds no private key"),
        ("the key a folder", lambda c: ["--pkcs12", c.folder, c.image], 1, "a directory, not a regular file"),
        ("a link for an image", lambda c: ["--pkcs12", c.pkcs12, "--pass", PASSWORD, c.link], 1,
         "link\\x1B.exe: a symbolic link (not followed)"),
        ("a text file after an image", lambda c: ["--pkcs12", c.pkcs12, "--pass", PASSWORD, c.image, c.text], 1,
         "notes.txt: neither a PE image nor a CAB"),
        ("a MAC of MD5 asking for 2^31-1 iterations",
         lambda c: ["--pkcs12", c.slow_mac["md5"], "--pass", PASSWORD, c.image], 1,
         "slow-md5.p12: this PKCS#12 file's MAC asks for more than"),
        ("a MAC of SHA-512/256 asking for 2^31-1 iterations",
         lambda c: ["--pkcs12", c.slow_mac["sha512-256"], "--pass", PASSWORD, c.image], 1,
         "slow-sha512-256.p12: this PKCS#12 file's MAC asks for more than"),
        ("a right password longer than a pipe takes",
         lambda c: ["--pkcs12", c.long_password, "--pass", LONG_PASSWORD, c.image], 1, "--pass: longer than"),
        ("stopped while osslsigncode signs", lambda c: ["--pkcs12", c.pkcs12, "--pass", PASSWORD, c.image],
         -signal.SIGTERM, None, "osslsigncode"),
    ]

    def test_a_refusal_says_why_in_one_line_and_changes_nothing(self):
        for name, args, code, says, *stall in self.REFUSALS:
            with self.subTest(name):
                case = argparse.Namespace(image=self.copy(self.uninstaller(), "refusal"), pkcs12=self.pkcs12,
                                          no_key=os.path.join(self.tmp, "no-key.p12"), slow_mac=self.slow_mac,
                                          long_password=self.long_password)
                case.folder = os.path.dirname(case.image)
                case.link, case.text = os.path.join(case.folder, "link\x1b.exe"), os.path.join(case.folder, "notes.txt")
                os.symlink(case.image, case.link)
                write(case.text, b"not a program\n")
                before = folder_state(case.folder)
                refused = run_or_stop([os.path.join(ARGS.source, "scripts", "sign")] + args(case), *stall)
                assert_refused(self, refused, code, says)
                self.assertEqual(folder_state(case.folder), before)


# The .000 as the cabextract author describes it ("Windows CE installation
# cabinet (.CAB) file format", kyz/libmspack, cabextract/doc/wince_cab_format.html),
# read here on its own, not with make-cab's code. Its names are in
# Windows-1252 (docs/delivery.md).
CE_FOLDERS = {"%CE1%": "\\Program Files", "%CE11%": "%CE11%"}  # as _setup.xml names the Start menu's Programs


def read_000(data):
    def text(offset, length):
        assert length and data[offset + length - 1] == 0, "a string ends with its NUL"
        return data[offset:offset + length - 1].decode("cp1252")

    (signature, _, length, _, _, processor, min_major, min_minor, max_major, max_minor, min_build,
     max_build) = struct.unpack_from("<4s11I", data, 0)
    counts = dict(zip(("strings", "dirs", "files", "hives", "keys", "links"), struct.unpack_from("<6H", data, 48)))
    offsets = dict(zip(("strings", "dirs", "files", "hives", "keys", "links"), struct.unpack_from("<6I", data, 60)))
    app_at, app_size, provider_at, provider_size, unsupported_at, unsupported_size = struct.unpack_from("<6H", data, 84)
    strings, at = {}, offsets["strings"]
    for _ in range(counts["strings"]):
        number, size = struct.unpack_from("<HH", data, at)
        strings[number] = text(at + 4, size)
        at += 4 + size

    def strings_at(at, size):
        ids = struct.unpack_from("<%dH" % (size // 2), data, at)
        assert size % 2 == 0 and ids[-1] == 0 and 0 not in ids[:-1], ids
        return [strings[i] for i in ids[:-1]]

    dirs, at = {}, offsets["dirs"]
    for _ in range(counts["dirs"]):
        number, size = struct.unpack_from("<HH", data, at)
        members = strings_at(at + 4, size)
        dirs[number] = "\\".join([CE_FOLDERS.get(members[0], members[0])] + members[1:])
        at += 4 + size
    files, at = {}, offsets["files"]
    for _ in range(counts["files"]):
        number, folder, also, flags, size = struct.unpack_from("<HHHIH", data, at)
        files[number] = dict(folder=dirs[folder], name=text(at + 12, size), also=also, flags=flags)
        at += 12 + size
    links, at = [], offsets["links"]
    for _ in range(counts["links"]):
        number, _, base, target, kind, size = struct.unpack_from("<6H", data, at)
        links.append(dict(folder="%%CE%d%%" % base, name="\\".join(strings_at(at + 12, size)), target=target, kind=kind))
        at += 12 + size
    return dict(signature=signature, length=length, processor=processor, version_min=(min_major, min_minor),
                version_max=(max_major, max_minor), builds=(min_build, max_build), hives=counts["hives"],
                keys=counts["keys"], app=text(app_at, app_size), provider=text(provider_at, provider_size),
                unsupported=data[unsupported_at:unsupported_at + unsupported_size], files=files, links=links)


def read_cab(cab, folder):
    """The cabinet's members in order (cabextract -l), extracted into folder;
    _setup.xml's Install parms and placed files, {(folder, name): member}."""
    listed = run(["cabextract", "-l", cab])
    assert listed.returncode == 0, listed.stderr
    members = [line.split(" | ")[-1] for line in listed.stdout.splitlines() if line.count(" | ") == 2][1:]
    extracted = run(["cabextract", "-q", "-d", folder, cab])
    assert extracted.returncode == 0, extracted.stderr
    root = ET.parse(os.path.join(folder, "_setup.xml")).getroot()
    assert root.tag == "wap-provisioningdoc", root.tag
    install = {p.get("name"): p.get("value") for p in root.findall("characteristic[@type='Install']/parm")}
    placed = {}
    for place in root.findall("characteristic[@type='FileOperation']/characteristic"):
        for file in place.findall("characteristic"):
            for source in file.findall("characteristic[@type='Extract']/parm[@name='Source']"):
                placed[(place.get("type"), file.get("type"))] = source.get("value")
    return members, install, placed


class Laid:
    """The programs and the CAB a case of make-cab lays, as it changes them."""

    def __init__(self, images, cab, options):
        self.images, self.cab, self.options, self.stall, self.signum = images, cab, options, None, None

    def drop(self, option):
        """option and its value left out of make-cab's options."""
        at = self.options.index(option)
        del self.options[at:at + 2]

    def stop(self, program, signum):
        """make-cab stopped by signum while program waits."""
        self.stall, self.signum = program, signum

    def rename(self, i, name):
        renamed = os.path.join(os.path.dirname(self.images[i]), name)
        os.rename(self.images[i], renamed)
        self.images[i] = renamed


class Cab(unittest.TestCase):
    """The two manifests of each CAB of the table read back and held to each
    other, to the cabinet's members and to the CAB's programs and shortcuts;
    the build's two CABs apart; make-cab's refusals of what they cannot
    hold."""

    @classmethod
    def setUpClass(cls):
        require("cabextract", "gcab")
        cls.tmp = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.tmp)

    # (case; which of the build's CABs (CABS): itself, or one make-cab makes
    # here of copies of its programs, with its name and shortcuts; None for
    # the build's own, or make-cab's further options, how many programs (the
    # CAB's, then hard links to the first) and what is laid in the folder
    # beside them (lay); the application's name, or the exit code and what
    # the one line says, or the signal's negative for make-cab stopped while
    # gcab writes).
    USER, KIT = "TRQUninstall.cab", "TRQUninstallKit.cab"
    CASES = [
        ("the device user's", USER, None, "TRQ Uninstall"),
        ("the owner's, who proves the uninstaller", KIT, None, "TRQ Uninstall Kit"),
        ("a vendor's name in Windows-1252", USER, (["--name", "Vantrelle Désinstallation"], 1),
         "Vantrelle Désinstallation"),
        ("a name without a space", KIT, (["--name", "Kit"], 3), "Kit"),
        ("a name beginning with '-'", USER, (["--name", "-Kit"], 1), "-Kit"),
        ("a character outside Windows-1252", KIT, (["--name", "Kit \u0416"], 1),
         (1, "U+0416 is not in Windows-1252")),
        ("a name too long", KIT, (["--name", "K" * 71], 1), (1, "longer than the 70 characters")),
        ("a folder's separator", KIT, (["--name", "A\\B"], 1), (1, "(U+005C) is not a character a folder's name")),
        ("a macro's %", KIT, (["--name", "%CE2%"], 1), (1, "(U+0025) is not a character a folder's name")),
        ("a trailing dot", KIT, (["--name", "Kit."], 1), (1, "neither begins nor ends with a space or a dot")),
        ("the package's own folder", KIT, (["--name", "trq"], 1), (1, "the package's own folder")),
        ("more programs than numbers", KIT, ([], 500), (1, "a CAB numbers at most 499")),
        ("--name left out", USER, ([], 1, lambda c: c.drop("--name")), (2, "--name NAME is required")),
        ("--name without a value", KIT, (["--name"], 0), (2, "usage: scripts/make-cab")),
        ("the CAB forgotten", USER, ([], 3, lambda c: setattr(c, "cab", None)),
         (2, "TRQUninstall.exe: not the name of a CAB")),
        ("the CAB one of the programs", KIT, ([], 2, lambda c: os.link(c.images[1], c.cab)),
         (1, "kit.cab: one of the files it is made from")),
        ("the CAB a FIFO", KIT, ([], 1, lambda c: os.mkfifo(c.cab)), (1, "kit.cab: a FIFO, not a regular file")),
        ("the CAB a folder", KIT, ([], 1, lambda c: os.mkdir(c.cab)),
         (1, "kit.cab: a directory, not a regular file")),
        ("a shortcut the package's TRQ.lnk", KIT, ([], 2, lambda c: c.rename(1, "trq.exe")), (1, "would be TRQ.lnk")),
        ("a shortcut the package's TRQUtil.lnk", KIT, ([], 1, lambda c: c.rename(0, "TrqUtil.exe")),
         (1, "would be TRQUtil.lnk")),
        ("a shortcut named the package's TRQ Jotlet.lnk", USER, (["--shortcut", "TRQUninstall.exe=trq jotlet"], 1),
         (1, "would be TRQ Jotlet.lnk")),
        ("a shortcut named as another program's", KIT,
         (["--shortcut", "TRQUninstallTrace.exe=trquninstallkit"], 2), (1, "as another program's")),
        ("a shortcut in a folder", USER, (["--shortcut", "TRQUninstall.exe=Tools\\TRQ Uninstall"], 1),
         (1, "(U+005C) is not a character a shortcut's name")),
        ("a shortcut to a program not given", USER, (["--shortcut", "TRQUninstallKit.exe=Kit"], 1),
         (1, "not one of the programs given")),
        ("stopped while gcab writes", KIT, ([], 1, lambda c: c.stop("gcab", signal.SIGTERM)),
         (-signal.SIGTERM, None)),
    ]

    def programs(self, folder, names, count):
        """count programs in folder: the build's of names, then hard links to the first."""
        paths = [shutil.copy(image, folder)
                 for image in [image for image in ARGS.images if os.path.basename(image) in names][:count]]
        for i in range(len(paths), count):
            paths.append(os.path.join(folder, "P%d.exe" % i))
            os.link(paths[0], paths[-1])
        return paths

    def test_each_cab_holds_two_manifests_that_agree(self):
        built = {}
        for case, which, made, expected in self.CASES:
            with self.subTest(case, cab=which):
                name, links = CABS[which]
                folder = tempfile.mkdtemp(dir=self.tmp)
                if made is None:
                    cab = next((cab for cab in ARGS.cabs if os.path.basename(cab) == which), None)
                    self.assertTrue(cab, "the build made no " + which)
                    images = [image for image in ARGS.images if os.path.basename(image) in links]
                else:
                    options, count, *lay = made
                    # The CAB's name, and the shortcuts not named after their programs.
                    own = ["--name", name]
                    for program, link in links.items():
                        if link != program[:-len(".exe")] + ".lnk":
                            own += ["--shortcut", program + "=" + link[:-len(".lnk")]]
                    case = Laid(self.programs(folder, links, count), os.path.join(folder, "kit.cab"), own + options)
                    for step in lay:
                        step(case)
                    images, cab = case.images, case.cab
                    before = folder_state(folder)
                    stall = ["--gcab", "gcab"] if case.stall else []  # found in PATH, made to wait
                    written = run_or_stop([os.path.join(ARGS.source, "scripts", "make-cab")] + stall + case.options +
                                          ([cab] if cab else []) + images, case.stall, case.signum)
                    if isinstance(expected, tuple):
                        assert_refused(self, written, *expected)
                        self.assertEqual(folder_state(folder), before)
                        continue
                    self.assertEqual((written.returncode, written.stderr), (0, ""))
                # Each program's shortcut: the CAB's, else the program's name.
                shortcuts = {os.path.basename(image): links.get(os.path.basename(image),
                                                                os.path.basename(image)[:-len(".exe")] + ".lnk")
                             for image in images}
                placed = self.check(cab, images, expected, shortcuts, tempfile.mkdtemp(dir=self.tmp))
                if made is None:
                    built[expected] = {(where.lower(), file.lower()) for where, file in placed}
        # Both on one device, each removed without touching the other's
        # files: two names, no file or shortcut in common.
        self.assertEqual(len(built), 2)
        self.assertNotEqual(*(name.lower() for name in built))
        self.assertFalse(set.intersection(*built.values()))

    def check(self, cab, images, name, shortcuts, folder):
        """What cab places, {(folder, name): member}, once held to images,
        name and shortcuts ({program: its shortcut})."""
        members, install, placed = read_cab(cab, folder)
        install_dir = "\\Program Files\\" + name
        count = len(images)
        # The .000 first, then the files in descending order of their numbers, _setup.xml last.
        self.assertRegex(members[0], r"^[A-Z0-9_~]{1,8}\.000$")
        numbered = members[1:-1]
        self.assertEqual([m[-3:] for m in numbered], ["%03d" % n for n in range(2 * count, 0, -1)])
        self.assertEqual(members[-1], "_setup.xml")
        for member in members[:-1]:
            self.assertRegex(member, r"^[A-Z0-9_~]{1,8}\.[0-9]{3}$")  # 8.3, numbered
        by_number = {int(member[-3:]): member for member in numbered}

        manifest = read_000(read(os.path.join(folder, members[0])))
        self.assertEqual(manifest["signature"], b"MSCE")
        self.assertEqual(manifest["length"], os.path.getsize(os.path.join(folder, members[0])))
        self.assertEqual((manifest["processor"], manifest["version_min"], manifest["version_max"]),
                         (0, (4, 20), (0, 0)))
        self.assertEqual(manifest["builds"], (0, 0xE0000000))  # square and rotated screens
        self.assertEqual((manifest["hives"], manifest["keys"], manifest["unsupported"]), (0, 0, b""))
        # The installer lists the application as its provider and its name, a space between.
        self.assertEqual(" ".join(filter(None, (manifest["provider"], manifest["app"]))), name)

        self.assertEqual(install, {
            "InstallPhase": "install", "AppName": name, "InstallDir": install_dir, "NumDirs": "1",
            "NumFiles": str(count), "NumRegKeys": "0", "NumRegVals": "0", "NumShortcuts": str(count)})
        # Every member but the manifests is a file _setup.xml places.
        self.assertEqual(sorted(placed.values()), sorted(numbered))

        # The same programs into the same folder, from the same members.
        files = manifest["files"]
        self.assertEqual({(f["folder"], f["name"]): by_number[n] for n, f in files.items()},
                         {place: member for place, member in placed.items() if place[0] == install_dir})
        for number, file in files.items():
            self.assertEqual((file["also"], file["flags"]), (number, 0x40000002))
        for image in images:
            with self.subTest(os.path.basename(image)):
                self.assertEqual(read(os.path.join(folder, placed[(install_dir, os.path.basename(image))])),
                                 read(image))
        # The same shortcuts, to the same programs: the .000 names its
        # program, _setup.xml's is a file that quotes its path.
        self.assertEqual(sorted((link["folder"], link["name"]) for link in manifest["links"]),
                         sorted(place for place in placed if place[0] == "%CE11%"))
        self.assertEqual(len(placed), 2 * count)
        self.assertEqual({link["name"]: files[link["target"]]["name"] for link in manifest["links"]},
                         {link: program for program, link in shortcuts.items()})
        for link in manifest["links"]:
            self.assertEqual(link["kind"], 1)  # to a file
            target = '"%s\\%s"' % (files[link["target"]]["folder"], files[link["target"]]["name"])
            self.assertEqual(read(os.path.join(folder, placed[(link["folder"], link["name"])])),
                             ("%d#%s" % (len(target), target)).encode("cp1252"))
        return placed


class Release(unittest.TestCase):
    """cmake --install into an empty folder: the layout of the install rules,
    no path of the source or build folder in any file, and the simulator runs
    from there. scripts/make-release run twice, each time installing afresh
    elsewhere: the same bytes; the archives hold that tree (stripped) with
    README.txt and SHA256SUMS, the sums the files'."""

    @classmethod
    def setUpClass(cls):
        require()
        cls.tmp = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.tmp)

    def installed_files(self):
        """What the install rules lay out, as the issue has it."""
        docs = ["docs/" + name for name in os.listdir(os.path.join(ARGS.source, "docs")) if name.endswith(".md")]
        pocketpc = [os.path.basename(path) for path in ARGS.images] + (list(CABS) if ARGS.cabs else [])
        return sorted(["bin/trq-uninstall-sim", "bin/elf-to-wince"] +
                      ["share/trq-uninstall/pocketpc/" + name for name in pocketpc] +
                      ["share/doc/trq-uninstall/" + name for name in ["README.md"] + docs])

    def test_the_installed_tree_and_its_archives(self):
        prefix = os.path.join(self.tmp, "prefix")
        installed = run(["cmake", "--install", ARGS.build, "--prefix", prefix])
        self.assertEqual(installed.returncode, 0, installed.stdout + installed.stderr)
        files = {os.path.relpath(os.path.join(folder, name), prefix): read(os.path.join(folder, name))
                 for folder, _, names in os.walk(prefix) for name in names}
        self.assertEqual(sorted(files), self.installed_files())
        for path in ARGS.images + ARGS.cabs:
            self.assertEqual(files["share/trq-uninstall/pocketpc/" + os.path.basename(path)], read(path))
        for folder in {os.path.realpath(ARGS.source), os.path.realpath(ARGS.build)}:
            for name, data in files.items():
                self.assertNotIn(folder.encode(), data, name)
        sim = os.path.join(prefix, "bin", "trq-uninstall-sim")
        device = os.path.join(self.tmp, "device")
        made = run([sim, "--init-device", device], cwd=self.tmp)
        self.assertEqual(made.returncode, 0, made.stderr)
        ran = run([sim, "--device", device, "--answer", "yes,yes"], cwd=self.tmp)
        self.assertEqual(ran.returncode, 0, ran.stdout + ran.stderr)

        top = "trq-uninstall-" + ARGS.version
        made = []
        for out in ("one", "two"):
            release = run([os.path.join(ARGS.source, "scripts", "make-release"), "--build", ARGS.build,
                           "--version", ARGS.version, "--out", os.path.join(self.tmp, out)])
            self.assertEqual((release.returncode, release.stderr), (0, ""))
            self.assertEqual(sorted(os.listdir(os.path.join(self.tmp, out))), [top + ".tar.gz", top + ".zip"])
            made.append([read(os.path.join(self.tmp, out, top + ext)) for ext in (".tar.gz", ".zip")])
        self.assertEqual(made[0], made[1])

        with tarfile.open(os.path.join(self.tmp, "one", top + ".tar.gz")) as archive:
            infos = archive.getmembers()
            packed = {info.name: archive.extractfile(info).read() for info in infos if info.isfile()}
            archive.extractall(os.path.join(self.tmp, "unpacked"))
        names = [info.name for info in infos]
        self.assertEqual(names, sorted(names, key=str.encode))
        expected = [top + "/" + name for name in sorted(self.installed_files() + ["README.txt", "SHA256SUMS"])]
        self.assertEqual(sorted(packed), expected)
        folders = {top} | {name.rsplit("/", i)[0] for name in expected for i in range(1, name.count("/"))}
        self.assertEqual(sorted(info.name for info in infos if info.isdir()), sorted(folders))
        for info in infos:
            executable = info.isdir() or info.name.startswith(top + "/bin/")
            self.assertEqual((info.uid, info.gid, info.uname, info.gname, info.mtime, info.mode),
                             (0, 0, "", "", infos[0].mtime, 0o755 if executable else 0o644), info.name)
        with zipfile.ZipFile(os.path.join(self.tmp, "one", top + ".zip")) as archive:
            self.assertEqual({i.filename: archive.read(i) for i in archive.infolist() if not i.is_dir()}, packed)
        # The installed files (the host tools stripped), and the sums of all but SHA256SUMS.
        for name in self.installed_files():
            if not name.startswith("bin/"):
                self.assertEqual(packed[top + "/" + name], files[name], name)
        sums = dict(reversed(line.split("  ", 1)) for line in packed[top + "/SHA256SUMS"].decode().splitlines())
        self.assertEqual(sorted(top + "/" + name for name in sums), sorted(set(packed) - {top + "/SHA256SUMS"}))
        for name, digest in sums.items():
            self.assertEqual(hashlib.sha256(packed[top + "/" + name]).hexdigest(), digest, name)
        unpacked_sim = os.path.join(self.tmp, "unpacked", top, "bin", "trq-uninstall-sim")
        self.assertEqual(run([unpacked_sim, "--version"]).stdout, "trq-uninstall-sim %s\n" % ARGS.version)


    # Each refusal of make-release: its exit code and one line, and nothing
    # written, half or outside --out: the folder that holds --out as it was
    # (--out itself not made, or an archive already there untouched); and
    # the same of make-release stopped while cmake installs (exit code the
    # signal's negative).
    REFUSALS = [
        ("a version that leads out of --out", lambda c: c.release("../../../outside"), 2, "--version"),
        ("a version with a line break", lambda c: c.release("1.0\n"), 2, "--version"),
        ("an empty version", lambda c: c.release(""), 2, "--version"),
        ("a folder that is no build", lambda c: c.release(build=c.parent), 2, "--build"),
        ("a folder named like the .zip", lambda c: c.release(zip_a_folder=True), 1,
         ".zip: a directory, not a regular file"),
        ("stopped by Ctrl-C while cmake installs", lambda c: c.release(), -signal.SIGINT, None, "cmake",
         signal.SIGINT),
    ]

    def test_a_refusal_says_why_in_one_line_and_writes_nothing(self):
        for name, command, code, says, *stall in self.REFUSALS:
            with self.subTest(name):
                case = argparse.Namespace(parent=tempfile.mkdtemp(dir=self.tmp))
                out = os.path.join(case.parent, "out", "release")

                def release(version=ARGS.version, build=ARGS.build, zip_a_folder=False):
                    if zip_a_folder:  # an archive of an earlier release, and a folder in the other's place
                        os.makedirs(os.path.join(out, "trq-uninstall-%s.zip" % version))
                        write(os.path.join(out, "trq-uninstall-%s.tar.gz" % version), b"an earlier release")
                    return [os.path.join(ARGS.source, "scripts", "make-release"), "--build", build,
                            "--version", version, "--out", out]
                case.release = release
                command = command(case)
                before = folder_state(case.parent)
                refused = run_or_stop(command, *stall)
                assert_refused(self, refused, code, says)
                self.assertEqual(folder_state(case.parent), before)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--build", default="")
    parser.add_argument("--version", default="")
    parser.add_argument("--cabs", nargs="*", default=[])
    parser.add_argument("--images", nargs="*", default=[])
    ARGS, rest = parser.parse_known_args()
    result = unittest.main(argv=[sys.argv[0]] + [arg for arg in rest if arg != "--"], exit=False, verbosity=2).result
    skipped = bool(result.skipped) and result.testsRun <= len(result.skipped)
    sys.exit(1 if not result.wasSuccessful() else 77 if skipped else 0)
