"""The wheels' proof, inside the minimal root of `./dev proof`: a Debian with
Python and ca-certificates and no libcurl, tolvex installed from its wheel
into a virtual environment, this script run by its interpreter from a
directory that holds the examples and nothing of the source tree.

    python wheel_proof_check.py SERVERS_JSON

SERVERS_JSON is what tools/wheel_proof_servers.py printed.  Every check
prints a line; the first failure ends the run with status 1.
"""

import hashlib
import json
import os
import subprocess
import sys
import tempfile

PATTERN = bytes(range(256))


def pattern(n):
    whole, rest = divmod(n, len(PATTERN))
    return PATTERN * whole + PATTERN[:rest]


def check(what, ok, detail=""):
    print("%-4s %s%s" % ("ok" if ok else "FAIL", what, ": " + detail if detail else ""), flush=True)
    if not ok:
        sys.exit(1)


def python(*args, env=None):
    """Runs this interpreter; its exit status, and what it printed."""
    result = subprocess.run(
        [sys.executable, *args], capture_output=True, text=True, timeout=120, env=env
    )
    return result.returncode, (result.stdout + result.stderr).strip()


def environ(**changes):
    env = {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR")}
    env.update(changes)
    return env


# A GET of argv[1] with tolvex: prints the status and the body's length, or
# libcurl's code and message.
GET = """
import sys, tolvex
c = tolvex.Curl()
c.setopt(tolvex.URL, sys.argv[1])
try:
    body = c.perform_rb()
    print(c.getinfo(tolvex.RESPONSE_CODE), len(body))
except tolvex.error as e:
    print(*e.args)
"""

# tolvex and the ssl module in one process, imported in either order: each
# makes an HTTPS request with the OpenSSL it carries.
BOTH = """
import sys, urllib.request
{imports}
context = ssl.create_default_context(cafile=sys.argv[2])
with urllib.request.urlopen(sys.argv[1], context=context) as response:
    python_status = response.status
c = tolvex.Curl()
c.setopt(tolvex.URL, sys.argv[1])
c.perform_rb()
print("ssl module", python_status, "and tolvex", c.getinfo(tolvex.RESPONSE_CODE))
"""


def main():
    servers = json.load(open(sys.argv[1]))
    https = servers["https"]
    work = tempfile.mkdtemp()
    ca_file = os.path.join(work, "ca.pem")
    with open(ca_file, "w") as f:
        f.write(servers["ca_pem"])
    ca_dir = os.path.join(work, "certs")
    os.mkdir(ca_dir)
    os.symlink(ca_file, os.path.join(ca_dir, servers["ca_hash"] + ".0"))

    import tolvex

    print("Python %s, %s" % (sys.version.split()[0], tolvex.version), flush=True)
    check(
        "tolvex is installed in the virtual environment",
        sys.prefix != sys.base_prefix and tolvex.__file__.startswith(sys.prefix),
        tolvex.__file__,
    )
    check(
        "no source tree in sight",
        not os.path.exists("python/tolvex")
        and not any(
            p.endswith("python") and os.path.isdir(os.path.join(p, "tolvex")) for p in sys.path
        ),
    )

    vi = tolvex.version_info()
    wanted = {
        "HTTP2": tolvex.VERSION_HTTP2,
        "HTTP3": tolvex.VERSION_HTTP3,
        "brotli": tolvex.VERSION_BROTLI,
        "zstd": tolvex.VERSION_ZSTD,
        "IDN": tolvex.VERSION_IDN,
        "PSL": tolvex.VERSION_PSL,
    }
    missing = [name for name, bit in wanted.items() if not vi[4] & bit]
    check(
        "libcurl %s with %s" % (vi[1], vi[5]),
        not missing and "sftp" in vi[8] and vi[5].startswith("OpenSSL/"),
        "features %s, SFTP %s"
        % (
            ", ".join(n for n in wanted if n not in missing)
            + (" (missing %s)" % ", ".join(missing) if missing else ""),
            "yes" if "sftp" in vi[8] else "no",
        ),
    )
    with open("/proc/self/maps") as f:
        mapped = sorted({line.split()[-1] for line in f if ".so" in line.split()[-1]})
    check(
        "no libcurl.so loaded",
        not any("libcurl" in path for path in mapped),
        "libraries from the wheel: "
        + ", ".join(os.path.basename(p) for p in mapped if "tolvex" in p),
    )

    for imports in ("import tolvex\nimport ssl", "import ssl\nimport tolvex"):
        status, out = python(
            "-c",
            BOTH.format(imports=imports),
            https + "/hello",
            ca_file,
            env=environ(SSL_CERT_FILE=ca_file),
        )
        check(" then ".join(imports.split("\n")), status == 0 and out.endswith("tolvex 200"), out)

    status, out = python("-m", "tolvex")
    check("python -m tolvex", status == 0, out.splitlines()[-3] if status == 0 else out)

    url = https + "/bytes/1000"
    for what, env, expected in [
        ("HTTPS with SSL_CERT_FILE", environ(SSL_CERT_FILE=ca_file), "200 1000"),
        ("HTTPS with SSL_CERT_DIR", environ(SSL_CERT_DIR=ca_dir), "200 1000"),
        # The system's authorities do not include the test one: verified.
        (
            "HTTPS with the system's CA bundle refuses the test certificate",
            environ(),
            "60 SSL certificate OpenSSL verify result: unable to get local issuer certificate (20)",
        ),
    ]:
        status, out = python("-c", GET, url, env=env)
        check(what, status == 0 and out == expected, out)
    # With no bundle where distributions keep one, the failure names them.
    hidden = subprocess.run(
        [
            "unshare",
            "-m",
            "--propagation",
            "unchanged",
            "sh",
            "-c",
            'mount -t tmpfs none /etc/ssl && exec "$@"',
            "sh",
            sys.executable,
            "-c",
            GET,
            url,
        ],
        capture_output=True,
        text=True,
        env=environ(),
        timeout=120,
    )
    out = (hidden.stdout + hidden.stderr).strip()
    check(
        "HTTPS with no CA bundle on the system fails, naming the paths tried",
        hidden.returncode == 0
        and out.startswith("77 ")
        and "/etc/ssl/certs/ca-certificates.crt" in out
        and "/etc/pki/tls/certs/ca-bundle.crt" in out,
        out,
    )

    # The examples, over TLS where the server has it.
    env = environ(SSL_CERT_FILE=ca_file)
    status, out = python("easy.py", https + "/hello", env=env)
    check("examples/easy.py", status == 0 and out == "200 text/plain 13", out)
    urls = [https + "/bytes/%d" % (1000 * i + 1) for i in range(20)]
    for name in ("multi_polling", "multi_events"):
        status, out = python(name + ".py", *urls, env=env)
        got = dict(line.split() for line in out.splitlines()) if status == 0 else {}
        check(
            "examples/%s.py" % name,
            got == {u: str(1000 * i + 1) for i, u in enumerate(urls)},
            "%d bodies" % len(got) if got else out,
        )
    status, out = python("share.py", https + "/cookies?flavour=oat", https + "/headers", env=env)
    check(
        "examples/share.py",
        status == 0 and ["Cookie", "flavour=oat"] in json.loads(out)["headers"],
        "the second request sent the cookie of the first",
    )
    picture = os.path.join(work, "picture.png")
    with open(picture, "wb") as f:
        f.write(b"\x89PNG" + bytes(range(256)))
    status, out = python("mime.py", servers["form"], picture, env=env)
    parts = {p["name"]: p for p in json.loads(out)["parts"]} if status == 0 else {}
    check(
        "examples/mime.py",
        set(parts) == {"title", "picture", "log"}
        and parts["picture"]["sha256"]
        == hashlib.sha256(b"\x89PNG" + bytes(range(256))).hexdigest(),
        ", ".join(sorted(parts)) or out,
    )
    status, out = python("websocket.py", servers["wss"], env=env)
    check("examples/websocket.py", status == 0 and out == repr(["hello", b"\x00\x01binary"]), out)
    status, out = python("asyncio_session.py", https + "/bytes/300000", env=env)
    expected = str((300000, hashlib.sha256(pattern(300000)).hexdigest()))
    check("examples/asyncio_session.py", status == 0 and out == expected, out)
    print("all checks passed with Python %s" % sys.version.split()[0], flush=True)


if __name__ == "__main__":
    main()
