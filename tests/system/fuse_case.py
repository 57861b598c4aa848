"""What the tests over FUSE mounts share: whether a mount can work here, and waiting for one."""
import os
import shutil
import time


def fuse_usable(binary):
    """None when binary can mount here, else why not."""
    if not os.path.exists(binary):
        return "%s is not built at %s" % (os.path.basename(binary), binary)
    if shutil.which("fusermount") is None:
        return "fusermount is not installed"
    try:
        os.close(os.open("/dev/fuse", os.O_RDWR))
    except OSError as e:
        return "/dev/fuse is unusable here: " + e.strerror
    return None


def wait_for(predicate, seconds, what):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)
