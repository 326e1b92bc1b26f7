#!/usr/bin/env python3
"""Publishes one release of the sample suite as an update server tree.

    make_server_tree.py --tool VIREO_TOOL --release RELEASES/1.1 --out TREE
                        --install-root 'Z:\\path\\to\\suite'

TREE receives update.xml with the modules "viewer" (install folder
INSTALL_ROOT\\viewer, program Orrery.exe) and "printer" (INSTALL_ROOT\\printer,
PrintAgent.exe), and each module's update list and files under
/update/<module>/, as `vireo-tool publish` writes them: the ANSI code page,
file versions, 12-digit Korea time stamps, Orrery.exe as a one-file archive
Orrery.exe.zip, presets\\window_levels.xml in a sub-folder. The viewer's
codec_core.dll is then replaced by codec_core.dll.zip, an Info-ZIP archive
holding codec_core.dll, codec_jpeg.dll, codec_j2k.dll and the release's
Updater.exe (installed beside them: only the running updater's own file
goes to Temp\\ instead);
the archive's list entry keeps codec_core.dll's version and stamp, and
declares the archive's own size and SHA-256.

With --sign-key KEY.pem both modules are published signed, and the viewer's
list, changed after publishing, is signed again with stock openssl
(`openssl dgst -sha256 -sign`), as a publisher may do by hand; update.xml,
whose pin of that list no longer holds, is pinned and signed again with
`vireo-tool resign`. Unsigned, the pin is written here.

With --keep-tree the release is published on top of the tree in TREE (as a
publisher publishes the next release: update.xml's serial keeps rising);
without it TREE is made anew.
"""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile

ARCHIVE = "codec_core.dll"
ARCHIVE_ITEMS = ["codec_core.dll", "codec_jpeg.dll", "codec_j2k.dll"]


def publish(tool, release, out, module, install_path, image, zips=(), sign_key=None):
    command = [tool, "publish", "--release", release, "--out", out, "--module", module,
               "--install-path", install_path, "--process-image", image]
    if sign_key:
        command += ["--sign-key", sign_key]
    for glob in zips:
        command += ["--zip", glob]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        raise SystemExit("publish %s failed:\n%s" % (module, result.stdout))
    return result.stdout


def add_codec_archive(release_root, out, sign_key=None):
    """Puts the several-item archive in place of the plain codec_core.dll."""
    folder = os.path.join(out, "update", "viewer")
    listed = os.path.join(folder, ARCHIVE)
    if os.path.exists(listed):
        os.remove(listed)
    for item in ARCHIVE_ITEMS[1:]:
        stale = os.path.join(folder, item)
        if os.path.exists(stale):
            os.remove(stale)
    archive = os.path.join(folder, ARCHIVE + ".zip")
    if os.path.exists(archive):
        os.remove(archive)
    items = [os.path.join(release_root, "viewer", name) for name in ARCHIVE_ITEMS]
    items.append(os.path.join(release_root, "Updater.exe"))
    # -j: items without folders; -X is not given, so every item keeps its
    # extended (UTC) time stamp and is installed with its release time.
    subprocess.run(["zip", "-q", "-j", "-9", archive] + items, check=True)

    list_path = os.path.join(folder, "UpdateList.xml")
    with open(list_path, "rb") as f:
        text = f.read()
    with open(archive, "rb") as f:
        served = f.read()
    # The entry now names the archive: its size and hash are the archive's.
    pattern = re.compile(rb'filename="' + re.escape(ARCHIVE.encode()) + rb'"([^>]*?) size="[0-9]+" sha256="[0-9a-f]{64}"')
    replacement = (b'filename="' + ARCHIVE.encode() + b'.zip"\\1 size="' + str(len(served)).encode() +
                   b'" sha256="' + hashlib.sha256(served).hexdigest().encode() + b'"')
    text, count = pattern.subn(replacement, text)
    if count != 1:
        raise SystemExit("%s: expected one entry %s, found %d" % (list_path, ARCHIVE, count))
    with open(list_path, "wb") as f:
        f.write(text)
    if sign_key:
        subprocess.run(["openssl", "dgst", "-sha256", "-sign", sign_key, "-out", list_path + ".sig", list_path],
                       check=True)


def repin_viewer_list(tool, out, sign_key):
    """update.xml's pin of the viewer's list, after the list was edited."""
    if sign_key:
        result = subprocess.run([tool, "resign", out, "--sign-key", sign_key], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise SystemExit("resign failed:\n" + result.stdout)
        return
    with open(os.path.join(out, "update", "viewer", "UpdateList.xml"), "rb") as f:
        listed = f.read()
    manifest_path = os.path.join(out, "update.xml")
    with open(manifest_path, "rb") as f:
        text = f.read()
    pin = b'<update_list size="%d" sha256="%s">' % (len(listed), hashlib.sha256(listed).hexdigest().encode())
    text, count = re.subn(rb"(<viewer>\s*)<update_list[^>]*>", lambda m: m.group(1) + pin, text, 1)
    if count != 1:
        raise SystemExit("update.xml: no update_list of the viewer")
    with open(manifest_path, "wb") as f:
        f.write(text)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--release", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--install-root", required=True, help="Windows path of the installation")
    parser.add_argument("--sign-key", default=None, help="the publisher's private key: publish signed")
    parser.add_argument("--keep-tree", action="store_true", help="publish on top of the tree in --out")
    args = parser.parse_args()
    root = args.install_root.rstrip("\\")

    if os.path.isdir(args.out) and not args.keep_tree:
        shutil.rmtree(args.out)
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory() as staging:
        # The viewer as published: the codec archive's extra items are not
        # listed on their own.
        viewer = os.path.join(staging, "viewer")
        shutil.copytree(os.path.join(args.release, "viewer"), viewer)
        for item in ARCHIVE_ITEMS[1:]:
            os.remove(os.path.join(viewer, item))
        sys.stdout.write(publish(args.tool, viewer, args.out, "viewer", root + "\\viewer", "Orrery.exe",
                                 ["Orrery.exe"], args.sign_key))
    add_codec_archive(args.release, args.out, args.sign_key)
    repin_viewer_list(args.tool, args.out, args.sign_key)
    sys.stdout.write(publish(args.tool, os.path.join(args.release, "printer"), args.out, "printer",
                             root + "\\printer", "PrintAgent.exe", (), args.sign_key))
    return 0


if __name__ == "__main__":
    sys.exit(main())
