"""A multipart/form-data request body built with CurlMime: a field, a file
from disk and a part streamed from a read callable."""

import io
import sys

import tolvex


def post_form(url: str, path: str, stream: bytes) -> bytes:
    """POSTs a form with a field, the file at `path` and `stream` read
    piece by piece; returns the response body."""
    source = io.BytesIO(stream)
    with tolvex.Curl() as c:
        mime = tolvex.CurlMime(c)
        mime.add_field("title", "holiday pictures")
        mime.add_file("picture", path, content_type="image/png")
        part = mime.addpart()
        part.name("log")
        # The read callable gets the userdata and the most bytes to return.
        part.data_cb(len(stream), lambda userdata, size: source.read(size))
        c.setopt(tolvex.URL, url)
        c.setopt(tolvex.MIMEPOST, mime)
        body = c.perform_rb()
        mime.close()
        return body


if __name__ == "__main__":
    print(post_form(sys.argv[1], sys.argv[2], b"streamed text").decode())
