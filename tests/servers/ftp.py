"""pyftpdlib's FTP server on loopback, serving one directory read-only to
the anonymous user, in a thread of its own."""

import logging
import threading
import warnings

with warnings.catch_warnings():
    # pyftpdlib's control channel still imports asynchat, now a separate
    # package, and says so.
    warnings.simplefilter("ignore", DeprecationWarning)
    from pyftpdlib.authorizers import DummyAuthorizer
    from pyftpdlib.handlers import FTPHandler
    from pyftpdlib.servers import ThreadedFTPServer


class _ThreadedServer(ThreadedFTPServer):
    def _map_len(self):
        # Each new session first forgets the threads of sessions that ended;
        # pyftpdlib would otherwise keep them listed for seconds.
        self._refresh_tasks()
        return len(self._active_tasks)


class FTPServer:
    def __init__(self, root, address=("127.0.0.1", 0)):
        authorizer = DummyAuthorizer()
        authorizer.add_anonymous(str(root))
        # A handler class of this server's own: pyftpdlib keeps its settings
        # on the class.
        # No idle timeout: its timer would stay scheduled on the accepting
        # thread's loop for minutes after each session.
        handler = type(
            "Handler",
            (FTPHandler,),
            {"authorizer": authorizer, "passive_ports": None, "timeout": None},
        )
        # A handler of its own keeps pyftpdlib from logging every command to
        # stderr, where tests read what callbacks print.
        log = logging.getLogger("pyftpdlib")
        if not log.handlers:
            log.addHandler(logging.NullHandler())
        log.propagate = False
        self.server = _ThreadedServer(address, handler)
        self.thread = None

    @property
    def port(self):
        return self.server.address[1]

    def url(self, path="/"):
        return "ftp://127.0.0.1:%d%s" % (self.port, path)

    def start(self):
        self.thread = threading.Thread(
            target=self.server.serve_forever, kwargs={"timeout": 0.2}, daemon=True
        )
        self.thread.start()
        return self

    def stop(self):
        self.server.close_all()
        self.thread.join()
