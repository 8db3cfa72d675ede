"""What scripts/sign and scripts/make-cab share: a file from elsewhere read as
the host tools read one (a regular file only, up to a stated size), a file
put in place as elf-to-wince puts one (written in a folder made afresh beside
it, synced, renamed over it), and names escaped for the terminal.
"""
import errno
import os
import shutil
import stat
import tempfile


class Refusal(Exception):
    """Why a file is not used or not written: one line, names escaped."""


def printable(name):
    """The name for the terminal, as host::Printable writes it: a control
    character (C0, DEL, C1) or a byte that is not UTF-8 as \\xNN, a
    bidirectional override as \\u{NNNN}; everything else as it is."""
    text = os.fsdecode(name)
    out = []
    for c in text:
        code = ord(c)
        if 0xDC80 <= code <= 0xDCFF:  # a byte that did not decode
            out.append("\\x%02X" % (code - 0xDC00))
        elif code < 0x20 or 0x7F <= code <= 0x9F:
            out.append("\\x%02X" % code)
        elif 0x202A <= code <= 0x202E or 0x2066 <= code <= 0x2069:
            out.append("\\u{%04X}" % code)
        else:
            out.append(c)
    return "".join(out)


def size_text(size):
    for unit, shift in (("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return "%d %s" % (size >> shift, unit)
    return "%d bytes" % size


def _kind(mode):
    for test, kind in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return kind
    return "not a plain file"


def read_regular(path, limit, follow_links):
    """The bytes of path and its stat, or Refusal: not a regular file, larger
    than limit, or (follow_links False) a symbolic link. Never blocks on a
    FIFO."""
    flags = os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC | os.O_NOCTTY
    if not follow_links:
        flags |= os.O_NOFOLLOW
    try:
        fd = os.open(path, flags)
    except OSError as e:
        if e.errno == errno.ELOOP and not follow_links:
            raise Refusal("a symbolic link (not followed)")
        raise Refusal("cannot open: " + e.strerror)
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            raise Refusal(_kind(st.st_mode) + ", not a regular file")
        if st.st_size > limit:
            raise Refusal("larger than %s (%d bytes)" % (size_text(limit), st.st_size))
        chunks, size = [], 0
        while size <= limit:
            chunk = os.read(fd, 1 << 20)
            if not chunk:
                return b"".join(chunks), st
            chunks.append(chunk)
            size += len(chunk)
        raise Refusal("larger than %s" % size_text(limit))
    except OSError as e:
        raise Refusal("cannot read: " + e.strerror)
    finally:
        os.close(fd)


class Beside:
    """A folder made afresh (mode 0700, a name no one can guess) in the folder
    of target, for what is written before it replaces target; removed with
    whatever is left in it."""

    def __init__(self, target):
        self.target = os.path.abspath(target)
        self.folder = os.path.dirname(self.target)
        try:
            self.path = tempfile.mkdtemp(prefix="." + os.path.basename(self.target) + ".", dir=self.folder)
        except OSError as e:
            raise Refusal("cannot write in its folder: " + e.strerror)

    def file(self, name):
        return os.path.join(self.path, name)

    def replace(self, name, mode):
        """Puts the file name of this folder in target's place (a link there
        is replaced, not followed), synced, with mode."""
        written = self.file(name)
        try:
            os.chmod(written, mode)
            fd = os.open(written, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(written, self.target)
            fd = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        except OSError as e:
            raise Refusal("cannot put it in place: " + e.strerror)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
