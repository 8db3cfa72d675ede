#!/usr/bin/python3
"""The delivered programs signed and packed, checked by tools that are not
ours: osslsigncode verifies each signature against a throwaway root made
here, pefile reads the certificate table and the checksum, cabextract and
Python's XML parser read the CAB, and the signed uninstaller runs on both
emulated processors.

    delivery_test.py --source DIR --sim SIM [--cab CAB] --images IMAGE... -- Signing|Cab

Without the Pocket PC build or a tool it needs, a suite is skipped (exit
code 77), and fails instead in CI (CI=true).
"""
import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

import pefile

ARGS = None
SHIPPED_SHA256 = "a66f174668802f3c5aca0e62c73d8810b0565bb43f8c26ee5a67845288583be7"
INSTALL_DIR = "\\Program Files\\TRQ Uninstall Kit"
PROGRAMS_FOLDER = "%CE11%"  # \Windows\Start Menu\Programs
PASSWORD = "throwaway"


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
    """Each name in folder with what it holds: a link's target, a file's bytes, a folder's names."""
    return {name: os.readlink(path) if os.path.islink(path) else sorted(os.listdir(path)) if os.path.isdir(path)
            else read(path) for name in os.listdir(folder) for path in [os.path.join(folder, name)]}


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
        for original in ARGS.images + ([ARGS.cab] if ARGS.cab else []):
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
    # of the images as it was (nothing signed, nothing left behind).
    REFUSALS = [
        ("without --pkcs12", lambda c: ["--pass", PASSWORD, c.image], 2, "--pkcs12 FILE is required"),
        ("a wrong password", lambda c: ["--pkcs12", c.pkcs12, "--pass", "wrong", c.image], 1,
         "signer.p12: the password does not open this PKCS#12 file"),
        ("no password", lambda c: ["--pkcs12", c.pkcs12, c.image], 1, "has a password; give it with --pass"),
        ("a text file for the key", lambda c: ["--pkcs12", c.text, c.image], 1,
         "notes.txt: not a PKCS#12 file"),
        ("certificates without a key", lambda c: ["--pkcs12", c.no_key, "--pass", PASSWORD, c.image], 1,
         "no-key.p12: this PKCS#12 file holds no private key"),
        ("the key a folder", lambda c: ["--pkcs12", c.folder, c.image], 1, "a directory, not a regular file"),
        ("a link for an image", lambda c: ["--pkcs12", c.pkcs12, "--pass", PASSWORD, c.link], 1,
         "link\\x1B.exe: a symbolic link (not followed)"),
        ("a text file after an image", lambda c: ["--pkcs12", c.pkcs12, "--pass", PASSWORD, c.image, c.text], 1,
         "notes.txt: neither a PE image nor a CAB"),
    ]

    def test_a_refusal_says_why_in_one_line_and_changes_nothing(self):
        for name, args, code, says in self.REFUSALS:
            with self.subTest(name):
                case = argparse.Namespace(image=self.copy(self.uninstaller(), "refusal"), pkcs12=self.pkcs12,
                                          no_key=os.path.join(self.tmp, "no-key.p12"))
                case.folder = os.path.dirname(case.image)
                case.link, case.text = os.path.join(case.folder, "link\x1b.exe"), os.path.join(case.folder, "notes.txt")
                os.symlink(case.image, case.link)
                write(case.text, b"not a program\n")
                before = folder_state(case.folder)
                refused = run([os.path.join(ARGS.source, "scripts", "sign")] + args(case))
                self.assertEqual(refused.returncode, code, refused.stderr)
                self.assertEqual(refused.stderr.count("\n"), 1, refused.stderr)
                self.assertIn(says, refused.stderr)
                self.assertEqual(folder_state(case.folder), before)


class Cab(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require("cabextract", "gcab")
        cls.tmp = tempfile.mkdtemp()
        cls.addClassCleanup(shutil.rmtree, cls.tmp)
        listed = run(["cabextract", "-l", ARGS.cab])
        assert listed.returncode == 0, listed.stderr
        cls.files = {line.split(" | ")[-1] for line in listed.stdout.splitlines() if line.count(" | ") == 2} - {"Name"}
        extracted = run(["cabextract", "-q", "-d", cls.tmp, ARGS.cab])
        assert extracted.returncode == 0, extracted.stderr
        # (folder, name on the device) -> the cabinet's name of the file
        cls.placed = {}
        root = ET.parse(os.path.join(cls.tmp, "_setup.xml")).getroot()
        assert root.tag == "wap-provisioningdoc", root.tag
        cls.install = {p.get("name"): p.get("value") for p in root.findall("characteristic[@type='Install']/parm")}
        for folder in root.findall("characteristic[@type='FileOperation']/characteristic"):
            for file in folder.findall("characteristic"):
                for source in file.findall("characteristic[@type='Extract']/parm[@name='Source']"):
                    cls.placed[(folder.get("type"), file.get("type"))] = source.get("value")

    def test_setup_xml_names_every_file_in_the_cabinet_and_only_those(self):
        sources = list(self.placed.values())
        self.assertEqual(sorted(sources), sorted(self.files - {"_setup.xml"}))
        for source in sources:
            self.assertRegex(source, r"^[A-Z0-9_~]{1,8}\.[0-9]{3}$")  # 8.3, numbered

    def test_install_characteristic(self):
        count = str(len(ARGS.images))
        self.assertEqual(self.install, {
            "InstallPhase": "install", "AppName": "TRQ Uninstall Kit", "InstallDir": INSTALL_DIR,
            "NumDirs": "1", "NumFiles": count, "NumRegKeys": "0", "NumRegVals": "0", "NumShortcuts": count})

    def test_each_program_and_its_shortcut_land_where_they_should(self):
        expected = set()
        for image in ARGS.images:
            name = os.path.basename(image)
            shortcut = name[:-len(".exe")] + ".lnk"
            expected |= {(INSTALL_DIR, name), (PROGRAMS_FOLDER, shortcut)}
            with self.subTest(name):
                self.assertEqual(read(os.path.join(self.tmp, self.placed[(INSTALL_DIR, name)])), read(image))
                target = '"\\Program Files\\TRQ Uninstall Kit\\%s"' % name
                self.assertEqual(read(os.path.join(self.tmp, self.placed[(PROGRAMS_FOLDER, shortcut)])),
                                 ("%d#%s" % (len(target), target)).encode("ascii"))
        self.assertEqual(set(self.placed), expected)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--cab", default="")
    parser.add_argument("--images", nargs="*", default=[])
    ARGS, rest = parser.parse_known_args()
    result = unittest.main(argv=[sys.argv[0]] + [arg for arg in rest if arg != "--"], exit=False, verbosity=2).result
    skipped = bool(result.skipped) and result.testsRun <= len(result.skipped)
    sys.exit(1 if not result.wasSuccessful() else 77 if skipped else 0)
