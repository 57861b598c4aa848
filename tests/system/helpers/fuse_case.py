"""What the tests over FUSE mounts share: whether a mount can work here, and a running mount."""
import os
import shutil
import subprocess
import time

from harness import TIME_SCALE


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
    deadline = time.monotonic() + seconds * TIME_SCALE
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class FuseMount:
    """A file system process mounted on self.mnt until stop(); subclasses make self.mnt and call
    start with the command line."""

    def start(self, argv, name, cwd, stdout=subprocess.PIPE):
        self.proc = subprocess.Popen(argv, cwd=cwd, stdout=stdout, stderr=subprocess.PIPE,
                                     text=True)
        try:
            wait_for(lambda: os.path.ismount(self.mnt) or self.proc.poll() is not None, 10,
                     "the mount")
        except AssertionError:
            self.stop()
            raise
        if not os.path.ismount(self.mnt):
            _, err = self.proc.communicate(timeout=10)
            raise AssertionError("%s ended before mounting: %s" % (name, err))
        os.stat(self.mnt)  # waits for the file system's init

    def stop(self, timeout=10):
        """Unmounts and waits for the process (lazily unmounted and killed past timeout); its
        exit code."""
        if os.path.ismount(self.mnt):
            subprocess.run(["fusermount", "-u", self.mnt], timeout=10, check=False)
        try:
            self.proc.communicate(timeout=timeout * TIME_SCALE)
        except subprocess.TimeoutExpired:
            subprocess.run(["fusermount", "-uz", self.mnt], timeout=10, check=False)
            self.proc.kill()
            self.proc.communicate(timeout=10)
        return self.proc.returncode
