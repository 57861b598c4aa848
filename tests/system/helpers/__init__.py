"""Modules the system tests share: daemon and channel set-ups, FUSE mounts, reader and
library-service cases. No tests here; tests/system/test_*.py are the tests."""
