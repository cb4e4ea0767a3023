#!/usr/bin/env python3
"""Builds Rawlift's package with an external location (an unsigned .msix).

    build_package.py --template AppxManifest.xml.in --icon command.ico
                     --guids shell/guids.h --name Corvane.Rawlift
                     --version M.N.P --exe rawlift.exe --dll RididaViz.DLL
                     [--certificate cert.pem] --output Rawlift.msix

--exe and --dll name the installed files relative to the installation
folder, the package's external location (packaging/windows/rawlift.wxs).

The package holds the manifest (the template filled in), three logos made
from the command's icon, the block map and the content types; sign.sh signs
it afterwards. The identity's publisher is the certificate's subject as
Windows writes it (without a certificate, "CN=Corvane": such a package
cannot be registered until it is built again with one and signed).

Parts are written with a zip writer of our own rather than zipfile, because
the block map must give the size of each part's local header and, for a
deflated part, the compressed size of each 64 KiB block: every block is
compressed on its own (a full flush after it), so its bytes are known.
Standard library only.
"""

import argparse
import base64
import hashlib
import os
import re
import struct
import subprocess
import sys
import zlib
from xml.sax.saxutils import escape, quoteattr

UNSIGNED_PUBLISHER = "CN=Corvane"
BLOCK = 64 * 1024  # the block map's block size, fixed by the format
# (name in the package, width and height): the logos the manifest names.
LOGOS = [
    ("Assets/StoreLogo.png", 50),
    ("Assets/Square44x44Logo.png", 44),
    ("Assets/Square150x150Logo.png", 150),
]
# Parts deflated; the logos are PNG already and are stored.
DEFLATED_SUFFIXES = (".xml",)
# Windows writes these attribute names differently from OpenSSL.
WINDOWS_NAME_KEYS = {"ST": "S", "emailAddress": "E", "serialNumber": "SERIALNUMBER",
                     "street": "STREET", "title": "T", "GN": "G"}
DOS_TIME, DOS_DATE = 0, (0 << 9) | (1 << 5) | 1  # 1980-01-01 00:00: reproducible

CONTENT_TYPES = """<?xml version="1.0" encoding="UTF-8"?>
<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">
<Default Extension="png" ContentType="image/png"/>
<Override PartName="/AppxManifest.xml" ContentType="application/vnd.ms-appx.manifest+xml"/>
<Override PartName="/AppxBlockMap.xml" ContentType="application/vnd.ms-appx.blockmap+xml"/>
</Types>
"""


class PackageError(Exception):
    pass


def windows_subject(certificate):
    """The certificate's subject as Windows writes a name (CertNameToStr):
    the attributes in their encoded order, "KEY=value" joined by ", ", a
    value quoted when it holds a separator."""
    try:
        out = subprocess.run(
            ["openssl", "x509", "-in", certificate, "-noout", "-subject",
             "-nameopt", "sep_multiline,utf8,esc_ctrl"],
            check=True, capture_output=True, text=True).stdout
    except (OSError, subprocess.CalledProcessError) as e:
        raise PackageError(f"cannot read the subject of {certificate}: {e}")
    parts = []
    for line in out.splitlines()[1:]:
        key, sep, value = line.strip().partition("=")
        if not sep:
            raise PackageError(f"unexpected subject line {line!r} of {certificate}")
        if any(c in value for c in ',+="\n<>#;') or value != value.strip():
            value = '"' + value.replace('"', '""') + '"'
        parts.append(f"{WINDOWS_NAME_KEYS.get(key, key)}={value}")
    if not parts:
        raise PackageError(f"{certificate} has an empty subject")
    return ", ".join(parts)


def command_clsid(guids_header):
    """The IExplorerCommand's class id from shell/guids.h, without braces."""
    with open(guids_header, encoding="utf-8") as f:
        m = re.search(r'kExplorerCommandClsidText\[\]\s*=\s*L"\{([0-9A-Fa-f-]{36})\}"', f.read())
    if not m:
        raise PackageError(f"no kExplorerCommandClsidText in {guids_header}")
    return m.group(1).upper()


def fill_template(text, values):
    def sub(m):
        if m.group(1) not in values:
            raise PackageError(f"template names unknown @{m.group(1)}@")
        return escape(values[m.group(1)], {'"': "&quot;"})
    filled = re.sub(r"@([A-Z_]+)@", sub, text)
    return filled.encode("utf-8")


def icon_image(path):
    """The largest 32-bit image of an .ico file, as rows of RGBA tuples."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 6:
        raise PackageError(f"{path}: not an icon")
    _, kind, count = struct.unpack_from("<HHH", data)
    if kind != 1 or len(data) < 6 + 16 * count:
        raise PackageError(f"{path}: not an icon")
    best = None
    for i in range(count):
        w, h, _, _, _, bpp, size, offset = struct.unpack_from("<BBBBHHII", data, 6 + 16 * i)
        w, h = w or 256, h or 256
        if bpp == 32 and offset + size <= len(data) and data[offset:offset + 4] == b"\x28\0\0\0":
            if best is None or w > best[0]:
                best = (w, h, offset)
    if best is None:
        raise PackageError(f"{path}: no 32-bit bitmap image")
    w, h, offset = best
    pixels_at = offset + 40
    mask_at = pixels_at + w * h * 4
    mask_stride = ((w + 31) // 32) * 4
    raw = data[pixels_at:mask_at]
    has_alpha = any(raw[i + 3] for i in range(0, len(raw), 4))
    rows = []
    for y in range(h):  # bottom-up
        src = (h - 1 - y) * w * 4
        row = []
        for x in range(w):
            b, g, r, a = raw[src + 4 * x:src + 4 * x + 4]
            if not has_alpha:  # an old icon: the AND mask says what is transparent
                bit = data[mask_at + (h - 1 - y) * mask_stride + x // 8] >> (7 - x % 8) & 1
                a = 0 if bit else 255
            row.append((r, g, b, a))
        rows.append(row)
    return rows


def scaled(rows, size):
    """Bilinear scaling to size x size, on premultiplied colour."""
    h, w = len(rows), len(rows[0])
    out = []
    for y in range(size):
        fy = min(max((y + 0.5) * h / size - 0.5, 0), h - 1)
        y0 = int(fy)
        y1, ty = min(y0 + 1, h - 1), fy - y0
        row = []
        for x in range(size):
            fx = min(max((x + 0.5) * w / size - 0.5, 0), w - 1)
            x0 = int(fx)
            x1, tx = min(x0 + 1, w - 1), fx - x0
            acc = [0.0, 0.0, 0.0, 0.0]
            for (py, px, weight) in ((y0, x0, (1 - ty) * (1 - tx)), (y0, x1, (1 - ty) * tx),
                                     (y1, x0, ty * (1 - tx)), (y1, x1, ty * tx)):
                r, g, b, a = rows[py][px]
                acc[0] += r * a * weight
                acc[1] += g * a * weight
                acc[2] += b * a * weight
                acc[3] += a * weight
            a = acc[3]
            if a <= 0:
                row.append((0, 0, 0, 0))
            else:
                row.append(tuple(min(255, round(c / a)) for c in acc[:3]) + (min(255, round(a)),))
        out.append(row)
    return out


def png(rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(
            ">I", zlib.crc32(kind + body) & 0xFFFFFFFF)
    h, w = len(rows), len(rows[0])
    raw = b"".join(b"\0" + bytes(c for px in row for c in px) for row in rows)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b""))


class ZipWriter:
    """A plain zip (no data descriptors, no extra fields, no zip64): the
    local header of a part is 30 bytes plus its name."""

    def __init__(self):
        self.data = bytearray()
        self.entries = []

    def add(self, name, payload, deflate, blocks_compressed=False):
        """Adds a part; returns the compressed size of each 64 KiB block
        (None when stored)."""
        block_sizes = None
        if not deflate:
            body, method = payload, 0
        elif blocks_compressed:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            pieces, block_sizes = [], []
            starts = range(0, len(payload), BLOCK)
            for n, start in enumerate(starts):
                piece = c.compress(payload[start:start + BLOCK])
                piece += c.flush(zlib.Z_FINISH if n == len(starts) - 1 else zlib.Z_FULL_FLUSH)
                pieces.append(piece)
                block_sizes.append(len(piece))
            if not pieces:
                pieces.append(c.flush(zlib.Z_FINISH))
            body, method = b"".join(pieces), 8
        else:
            c = zlib.compressobj(9, zlib.DEFLATED, -15)
            body, method = c.compress(payload) + c.flush(), 8
        if len(self.data) + len(body) + len(name) + 30 >= 0xFFFFFFFF:
            raise PackageError("package too large for a zip without zip64")
        encoded = name.encode("ascii")
        crc = zlib.crc32(payload) & 0xFFFFFFFF
        offset = len(self.data)
        self.data += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, method, DOS_TIME, DOS_DATE,
                                 crc, len(body), len(payload), len(encoded), 0) + encoded + body
        self.entries.append((encoded, method, crc, len(body), len(payload), offset))
        return block_sizes

    def finish(self):
        directory = bytearray()
        for encoded, method, crc, csize, usize, offset in self.entries:
            directory += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, method,
                                     DOS_TIME, DOS_DATE, crc, csize, usize, len(encoded), 0, 0,
                                     0, 0, 0, offset) + encoded
        start = len(self.data)
        self.data += directory
        self.data += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(self.entries),
                                 len(self.entries), len(directory), start, 0)
        return bytes(self.data)


def block_map_entry(name, payload, block_sizes):
    lines = [f"<File Name={quoteattr(name.replace('/', chr(92)))} Size=\"{len(payload)}\" "
             f"LfhSize=\"{30 + len(name)}\">"]
    for n, start in enumerate(range(0, len(payload), BLOCK)):
        digest = base64.b64encode(hashlib.sha256(payload[start:start + BLOCK]).digest()).decode()
        size = f' Size="{block_sizes[n]}"' if block_sizes is not None else ""
        lines.append(f'<Block Hash="{digest}"{size}/>')
    lines.append("</File>")
    return "\n".join(lines)


def build(parts):
    """The package's bytes from its payload parts [(name, bytes)]."""
    writer = ZipWriter()
    entries = []
    for name, payload in parts:
        deflate = name.endswith(DEFLATED_SUFFIXES)
        sizes = writer.add(name, payload, deflate, blocks_compressed=True)
        entries.append(block_map_entry(name, payload, sizes))
    block_map = ('<?xml version="1.0" encoding="UTF-8"?>\n'
                 '<BlockMap xmlns="http://schemas.microsoft.com/appx/2010/blockmap" '
                 'HashMethod="http://www.w3.org/2001/04/xmlenc#sha256">\n'
                 + "\n".join(entries) + "\n</BlockMap>\n")
    writer.add("AppxBlockMap.xml", block_map.encode("utf-8"), True)
    # Deflated: a stored one comes out of osslsigncode's signing deflated
    # under a header that still says stored.
    writer.add("[Content_Types].xml", CONTENT_TYPES.encode("utf-8"), True)
    return writer.finish()


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--template", required=True)
    p.add_argument("--icon", required=True)
    p.add_argument("--guids", required=True)
    p.add_argument("--name", required=True)
    p.add_argument("--version", required=True)
    p.add_argument("--exe", required=True)
    p.add_argument("--dll", required=True)
    p.add_argument("--certificate")
    p.add_argument("--output", required=True)
    args = p.parse_args(argv)
    try:
        if not re.fullmatch(r"\d{1,5}\.\d{1,5}\.\d{1,5}", args.version):
            raise PackageError(f"version {args.version!r} is not MAJOR.MINOR.PATCH")
        # The manifest schema's identity name: 3 to 50 letters, digits,
        # periods and dashes.
        if not re.fullmatch(r"[A-Za-z0-9.-]{3,50}", args.name):
            raise PackageError(f"package name {args.name!r} is not 3 to 50 of A-Z a-z 0-9 . -")
        publisher = windows_subject(args.certificate) if args.certificate else UNSIGNED_PUBLISHER
        with open(args.template, encoding="utf-8") as f:
            manifest = fill_template(f.read(), {
                "PACKAGE_NAME": args.name, "PUBLISHER": publisher,
                "VERSION": args.version + ".0", "EXE": args.exe, "DLL": args.dll,
                "COMMAND_CLSID": command_clsid(args.guids)})
        icon = icon_image(args.icon)
        parts = [("AppxManifest.xml", manifest)]
        parts += [(name, png(scaled(icon, size))) for name, size in LOGOS]
        package = build(parts)
    except (OSError, PackageError) as e:
        print(f"build_package.py: {e}", file=sys.stderr)
        return 1
    # Written beside the output, then moved over it: a failure leaves no
    # half-written package.
    temporary = args.output + ".tmp"
    with open(temporary, "wb") as f:
        f.write(package)
    os.replace(temporary, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
