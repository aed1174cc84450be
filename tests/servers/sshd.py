"""OpenSSH's sshd on a loopback port, for SFTP transfers.

Everything the daemon needs is made afresh in a directory of its own: a
throw-away ed25519 host key, a client key that it accepts for the user the
tests run as, and a configuration with the internal SFTP subsystem and no
other way in.  `Sshd.start()` raises `SshdUnavailable` when the daemon is not
installed or cannot start as this user, so that tests can skip.
"""

import base64
import os
import pwd
import shutil
import socket
import subprocess
import time

SSHD = "/usr/sbin/sshd"


class SshdUnavailable(Exception):
    pass


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Sshd:
    def __init__(self, directory):
        self.dir = str(directory)
        self.user = pwd.getpwuid(os.getuid()).pw_name
        self.port = None
        self.process = None
        self.host_key = os.path.join(self.dir, "host_ed25519")
        self.client_key = os.path.join(self.dir, "client_ed25519")

    def _keygen(self, path):
        subprocess.run(
            ["ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path],
            check=True,
            capture_output=True,
        )

    @property
    def host_key_blob(self):
        """The host's public key as the raw blob the SSH protocol carries."""
        with open(self.host_key + ".pub") as f:
            return base64.b64decode(f.read().split()[1])

    @property
    def host_key_text(self):
        """The same key in its base64 form, as known_hosts files hold it."""
        with open(self.host_key + ".pub") as f:
            return f.read().split()[1].encode()

    def known_hosts_line(self):
        with open(self.host_key + ".pub") as f:
            kind, key = f.read().split()[:2]
        return "[127.0.0.1]:%d %s %s\n" % (self.port, kind, key)

    def url(self, path):
        return "sftp://%s@127.0.0.1:%d%s" % (self.user, self.port, path)

    def start(self):
        if not os.path.exists(SSHD) or shutil.which("ssh-keygen") is None:
            raise SshdUnavailable("OpenSSH's sshd is not installed")
        self._keygen(self.host_key)
        self._keygen(self.client_key)
        authorized = os.path.join(self.dir, "authorized_keys")
        shutil.copy(self.client_key + ".pub", authorized)
        if os.getuid() == 0:
            # sshd running as root wants its privilege-separation directory.
            os.makedirs("/run/sshd", mode=0o755, exist_ok=True)
        self.port = _free_port()
        config = os.path.join(self.dir, "sshd_config")
        with open(config, "w") as f:
            f.write(
                "ListenAddress 127.0.0.1:%d\n"
                "HostKey %s\n"
                "PidFile none\n"
                "AuthorizedKeysFile %s\n"
                "PubkeyAuthentication yes\n"
                "PasswordAuthentication no\n"
                "KbdInteractiveAuthentication no\n"
                "PermitRootLogin prohibit-password\n"
                "StrictModes no\n"
                "UsePAM no\n"
                # Tests refuse host keys on purpose; sshd would otherwise
                # refuse this address for a while after a few of those.
                "PerSourcePenalties no\n"
                "Subsystem sftp internal-sftp\n"
                "LogLevel ERROR\n" % (self.port, self.host_key, authorized)
            )
        self.log = os.path.join(self.dir, "sshd.log")
        self.process = subprocess.Popen(
            [SSHD, "-D", "-e", "-f", config], stdout=subprocess.DEVNULL, stderr=open(self.log, "wb")
        )
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                with open(self.log) as f:
                    raise SshdUnavailable("sshd did not start: " + f.read().strip())
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1) as s:
                    if s.recv(64).startswith(b"SSH-"):
                        return self
            except OSError:
                time.sleep(0.05)
        self.stop()
        raise SshdUnavailable("sshd did not answer on its port")

    def stop(self):
        if self.process is not None:
            self.process.terminate()
            self.process.wait(timeout=10)
            self.process = None
