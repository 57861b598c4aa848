"""Small file helpers the system tests share."""


def read_text(path):
    """The text of path (undecodable bytes replaced), or "" while it does not exist."""
    try:
        with open(path, errors="replace") as f:
            return f.read()
    except OSError:
        return ""
