#!/usr/bin/env python3
"""Signatures of `vireo-tool publish --sign-key` against stock openssl, both
ways: openssl verifies what the tool signed, the tool's check accepts what
openssl signed, and `plan` reads the signed tree.

    openssl_interop.py VIREO_TOOL FIXTURES_TRUST_DIR
"""
import os
import subprocess
import sys
import tempfile


def run(*args):
    return subprocess.run(list(args), capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=60)


def main():
    tool, fixtures = sys.argv[1], sys.argv[2]
    key = os.path.join(fixtures, "signing-key.pem")
    pub = os.path.join(fixtures, "signing-key.pub.pem")
    problems = []

    def expect(condition, text, result=None):
        if not condition:
            problems.append(text + ("" if result is None else "\nstdout: %r\nstderr: %r" % (result.stdout, result.stderr)))

    with tempfile.TemporaryDirectory() as work:
        release, out, install = (os.path.join(work, n) for n in ("release", "out", "install"))
        os.makedirs(os.path.join(release, "bin"))
        os.makedirs(install)
        for name, data in (("Orrery.exe", b"MZ program"), ("bin/core.dll", b"core"), ("notes.txt", b"n\r\n")):
            with open(os.path.join(release, name), "wb") as f:
                f.write(data)
        r = run(tool, "publish", "--release", release, "--out", out, "--module", "viewer",
                "--install-path", "D:\\Suite", "--process-image", "Orrery.exe", "--zip", "*.exe", "--sign-key", key)
        expect(r.returncode == 0 and "signed" in r.stdout, "publish --sign-key failed", r)
        manifest = os.path.join(out, "update.xml")
        listed = os.path.join(out, "update", "viewer", "UpdateList.xml")
        for document in (manifest, listed):
            r = run("openssl", "dgst", "-sha256", "-verify", pub, "-signature", document + ".sig", document)
            expect(r.returncode == 0 and "Verified OK" in r.stdout, "openssl does not verify " + document, r)
        r = run(tool, "check", out, "--public-key", pub)
        expect(r.returncode == 0 and "0 findings" in r.stdout, "check of the signed tree is not clean", r)

        # A list edited by hand no longer matches update.xml's pin; resign
        # pins it again, and update.xml signed again with openssl passes.
        with open(listed, "rb") as f:
            text = f.read()
        with open(listed, "wb") as f:
            f.write(text.replace(b"<update>", b"<update>\r\n\t<!-- edited -->", 1))
        r = run(tool, "check", out, "--public-key", pub)
        expect(r.returncode == 1 and "the update list does not match the manifest's pin" in r.stdout,
               "check does not name the edited list", r)
        r = run(tool, "resign", out, "--sign-key", key)
        expect(r.returncode == 0 and "serial 2" in r.stdout, "resign after the edit", r)
        r = run("openssl", "dgst", "-sha256", "-sign", key, "-out", manifest + ".sig", manifest)
        expect(r.returncode == 0, "openssl cannot sign", r)
        r = run(tool, "check", out, "--public-key", pub)
        expect(r.returncode == 0, "check refuses openssl's signature", r)

        r = run(tool, "plan", out, "--install", install)
        expect(r.returncode == 0 and "3 files listed, 3 to fetch" in r.stdout, "plan on the signed tree", r)

        os.remove(manifest + ".sig")
        r = run(tool, "check", out, "--public-key", pub)
        expect(r.returncode == 1 and "update.xml: no signature" in r.stdout, "check does not miss update.xml.sig", r)
        r = run(tool, "check", out, "--public-key", os.path.join(fixtures, "signing-key.pem"))
        expect(r.returncode == 2 and "not a PEM P-256 public key" in r.stderr, "check takes a private key", r)
    for p in problems:
        print("FAILED " + p)
    print("%d problems" % len(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
