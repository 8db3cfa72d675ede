"""What scripts/sign, scripts/make-cab and scripts/make-release share: a file
from elsewhere read as the host tools read one (a regular file only, up to a
stated size), a file put in place as elf-to-wince puts one (written in a
folder made afresh beside it, synced, renamed over it), a script stopped by
a signal leaving none of those folders, names escaped for the terminal, and
a usage error said in one line.
"""
import argparse
import errno
import os
import shutil
import signal
import stat
import sys
import tempfile

# The signals that end a script run from a terminal or by a service manager.
_ENDING = (signal.SIGTERM, signal.SIGINT, signal.SIGHUP)
# Every folder Beside made that is not removed yet.
_made = []


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


class Parser(argparse.ArgumentParser):
    """argparse, a usage error one line (what is wrong, names escaped, then
    usage) and exit code 2. Given doc, the script's own: -h and --help print
    doc, no option is abbreviated, and an option's value is the argument
    after it whatever it begins with (--pass -x)."""

    def __init__(self, usage, doc=None, **kw):
        self.usage_line, self.doc = usage, doc
        if doc:
            kw.update(add_help=False, allow_abbrev=False, formatter_class=argparse.RawDescriptionHelpFormatter)
        super().__init__(prog=usage.split()[1], **kw)
        if doc:
            self.add_argument("-h", "--help", action="version", version=doc.strip())  # printed as it is

    def parse_args(self, args=None, namespace=None):
        args, joined = list(sys.argv[1:] if args is None else args), []
        valued = {name for action in self._actions if action.nargs is None for name in action.option_strings}
        while args and args[0] != "--":
            arg = args.pop(0)
            joined.append(arg + "=" + args.pop(0) if self.doc and arg in valued and args else arg)
            name, equals, value = joined[-1].partition("=")
            if name.startswith("-") and equals and value == "--":  # which argparse takes for no value at all
                self.error("argument %s: expected one argument" % name)
        return super().parse_args(joined + args, namespace)

    def error(self, message):
        print("%s: %s; %s" % (os.path.basename(self.prog), printable(message), self.usage_line), file=sys.stderr)
        sys.exit(2)


def size_text(size):
    for unit, shift in (("MiB", 20), ("KiB", 10)):
        if size >= 1 << shift and size % (1 << shift) == 0:
            return "%d %s" % (size >> shift, unit)
    return "%d bytes" % size


def kind(mode):
    for test, said in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device")):
        if test(mode):
            return said
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
            raise Refusal(kind(st.st_mode) + ", not a regular file")
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


def check_replaceable(path, read=()):
    """Refusal unless a file may be put in path's place: nothing there, a
    symbolic link (replaced, not followed), or a regular file that is none of
    read, the (st_dev, st_ino) of the files the script reads."""
    try:
        st = os.lstat(path)
    except FileNotFoundError:
        return
    except OSError as e:
        raise Refusal("cannot look at it: " + e.strerror)
    if stat.S_ISLNK(st.st_mode):
        return
    if not stat.S_ISREG(st.st_mode):
        raise Refusal(kind(st.st_mode) + ", not a regular file")
    if (st.st_dev, st.st_ino) in read:
        raise Refusal("one of the files it is made from")


class Stopped(BaseException):
    """A signal that ends the script, raised where it arrived so that every
    folder the script made beside its targets is removed first."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def _stop(signum, frame):
    for ending in _ENDING:  # a second signal does not cut the removal short
        if signal.getsignal(ending) is _stop:
            signal.signal(ending, signal.SIG_IGN)
    raise Stopped(signum)


def run_main(main, *args):
    """main(*args), stopped by SIGTERM, SIGINT or SIGHUP (one the script was
    not started ignoring) as by an exception: the program it waits for is
    killed, the folders Beside made are removed, and the script then ends by
    that signal, as it would have without them."""
    for ending in _ENDING:
        if signal.getsignal(ending) is not signal.SIG_IGN:
            signal.signal(ending, _stop)
    try:
        main(*args)
    except Stopped as stopped:
        for place in list(_made):
            place.remove()
        sys.stdout.flush()
        signal.signal(stopped.signum, signal.SIG_DFL)
        os.kill(os.getpid(), stopped.signum)
        sys.exit(128 + stopped.signum)


class Beside:
    """A folder made afresh (mode 0700, a name no one can guess) in the folder
    of target, for what is written before it replaces target; removed with
    whatever is left in it."""

    def __init__(self, target):
        self.target = os.path.abspath(target)
        self.folder = os.path.dirname(self.target)
        # Made and listed with the ending signals held back, so that a
        # signal finds it listed or not made.
        held = signal.pthread_sigmask(signal.SIG_BLOCK, _ENDING)
        try:
            self.path = tempfile.mkdtemp(prefix="." + os.path.basename(self.target) + ".", dir=self.folder)
            _made.append(self)
        except OSError as e:
            raise Refusal("cannot write in its folder: " + e.strerror)
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, held)

    def file(self, name):
        return os.path.join(self.path, name)

    def replace(self, name, mode, target=None):
        """Puts the file name of this folder in target's place (the one the
        folder was made for unless given, in the same folder; a link there is
        replaced, not followed), synced, with mode."""
        written = self.file(name)
        try:
            os.chmod(written, mode)
            fd = os.open(written, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
            os.replace(written, target or self.target)
            fd = os.open(self.folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        except OSError as e:
            raise Refusal("cannot put it in place: " + e.strerror)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)
        if self in _made:
            _made.remove(self)
