#!/usr/bin/python3
# A read-only FUSE view of one image file in which chosen 512-byte sectors answer EIO, as
# a failing disk's do: a read that starts on such a sector fails, one that reaches it stops
# short before it. Runs in the foreground until unmounted.
#   eioview.py IMAGE MOUNTPOINT FIRST-LAST [FIRST-LAST...]   (sector ranges, inclusive)
# The view holds one file, MOUNTPOINT/disk.img.
import errno
import os
import stat
import sys

try:
    from fusepy import FUSE, FuseOSError, Operations
except ImportError:
    from fuse import FUSE, FuseOSError, Operations

NAME = "disk.img"


class EioView(Operations):
    def __init__(self, image, bad):
        self.image = image
        self.size = os.path.getsize(image)
        self.bad = [(a * 512, (b + 1) * 512) for a, b in bad]
        self.fd = os.open(image, os.O_RDONLY)

    def getattr(self, path, fh=None):
        if path == "/":
            return {"st_mode": stat.S_IFDIR | 0o555, "st_nlink": 2}
        if path == "/" + NAME:
            return {"st_mode": stat.S_IFREG | 0o444, "st_nlink": 1, "st_size": self.size}
        raise FuseOSError(errno.ENOENT)

    def readdir(self, path, fh):
        return [".", "..", NAME]

    def open(self, path, flags):
        if path != "/" + NAME:
            raise FuseOSError(errno.ENOENT)
        if flags & (os.O_WRONLY | os.O_RDWR):
            raise FuseOSError(errno.EROFS)
        return 0

    def read(self, path, size, offset, fh):
        end = min(offset + size, self.size)
        for a, b in self.bad:
            if a <= offset < b:
                raise FuseOSError(errno.EIO)
            if offset < a < end:
                end = a
        if end <= offset:
            return b""
        return os.pread(self.fd, end - offset, offset)


def main():
    if len(sys.argv) < 4:
        sys.exit("usage: eioview.py IMAGE MOUNTPOINT FIRST-LAST...")
    bad = [tuple(int(x) for x in r.split("-")) for r in sys.argv[3:]]
    # direct_io: every read reaches this process, so the kernel's cache and read-ahead
    # neither hide a bad sector nor fail a good one next to it.
    FUSE(EioView(sys.argv[1], bad), sys.argv[2], foreground=True, ro=True, direct_io=True, nothreads=True)


if __name__ == "__main__":
    main()
