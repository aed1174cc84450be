"""Two handles sharing cookies, the DNS cache and connections through a
CurlShare: a cookie that one handle receives, the other sends."""

import sys

import tolvex


def shared_session(set_cookie_url: str, echo_headers_url: str) -> bytes:
    """Fetches `set_cookie_url` with one handle and `echo_headers_url` with
    another; returns the second response, which carries the cookie."""
    with tolvex.CurlShare() as share:
        share.share(tolvex.LOCK_DATA_COOKIE, tolvex.LOCK_DATA_DNS, tolvex.LOCK_DATA_CONNECT)
        first, second = tolvex.Curl(), tolvex.Curl()
        for c in (first, second):
            c.setopt(tolvex.SHARE, share)
            c.setopt(tolvex.COOKIEFILE, "")  # the cookie engine on, no file
        first.setopt(tolvex.URL, set_cookie_url)
        first.perform_rb()
        second.setopt(tolvex.URL, echo_headers_url)
        body = second.perform_rb()
        first.close()
        second.close()
        return body


if __name__ == "__main__":
    print(shared_session(sys.argv[1], sys.argv[2]).decode())
