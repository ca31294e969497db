"""The SQLite ODBC driver that the end-to-end tests and the soak give the server's user database."""
import os
import subprocess


def sqlite_odbc_driver():
    """The driver by its registered name, or by its file where it is not registered; None when it
    is not installed (Debian package libsqliteodbc)."""
    if subprocess.run(["odbcinst", "-q", "-d", "-n", "SQLite3"], capture_output=True).returncode == 0:
        return "SQLite3"
    for base, _, files in os.walk("/usr/lib"):
        if "libsqlite3odbc.so" in files:
            return os.path.join(base, "libsqlite3odbc.so")
    return None
