#!/usr/bin/env python3
"""Unpacks and checks the built, signed package with an external location
(Rawlift.msix) on its own, beside osslsigncode's verification:

    package_test.py --package Rawlift.msix --msi Rawlift-x64.msi
                    --guids shell/guids.h --certificate cert.pem
                    --builder packaging/windows/build_package.py

- every part unzips, with its local header agreeing with the central
  directory and its CRC right;
- every part has a content type, and every override names a part;
- the block map lists every part but itself, the content types and the
  signature, with the part's size, its local header's size, and the
  SHA-256 and (deflated) compressed size of every 64 KiB block;
- the manifest is well-formed, its publisher is the certificate's subject,
  its version the MSI's, its verbs and COM class name the command's class
  (shell/guids.h), and the class's DLL and the application's program are
  files the MSI installs, the DLL the one the MSI registers for that class.
Then the same checks must find the faults of deliberately broken packages,
built with the builder's own zip writer.
Exit code 77 (skipped) without the package or msiinfo.
"""

import argparse
import base64
import hashlib
import importlib.util
import io
import os
import re
import ssl
import struct
import sys
import unittest
import xml.etree.ElementTree as ET
import zipfile
import zlib

# Run from the source tree: no bytecode caches left in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import msi_tables  # noqa: E402

BLOCK = 64 * 1024
BLOCKMAP_NS = "{http://schemas.microsoft.com/appx/2010/blockmap}"
TYPES_NS = "{http://schemas.openxmlformats.org/package/2006/content-types}"
NS = {
    "m": "http://schemas.microsoft.com/appx/manifest/foundation/windows10",
    "uap": "http://schemas.microsoft.com/appx/manifest/uap/windows10",
    "uap10": "http://schemas.microsoft.com/appx/manifest/uap/windows10/10",
    "desktop4": "http://schemas.microsoft.com/appx/manifest/desktop/windows10/4",
    "desktop5": "http://schemas.microsoft.com/appx/manifest/desktop/windows10/5",
    "com": "http://schemas.microsoft.com/appx/manifest/com/windows10",
}
# Parts the block map does not list: itself, the content types and what
# signing adds.
UNMAPPED = {"AppxBlockMap.xml", "[Content_Types].xml", "AppxSignature.p7x",
            "AppxMetadata/CodeIntegrity.cat"}
# Attribute names of certificate subjects, as Windows writes them.
WINDOWS_KEYS = {"commonName": "CN", "organizationName": "O", "organizationalUnitName": "OU",
                "localityName": "L", "stateOrProvinceName": "S", "countryName": "C",
                "emailAddress": "E", "streetAddress": "STREET", "serialNumber": "SERIALNUMBER"}

ARGS = None


# ---- Reading the package -------------------------------------------------

def unzip(data):
    """(parts {name: bytes}, entries {name: info}, problems). info holds the
    central directory's fields and the local header's size."""
    problems, parts, entries = [], {}, {}
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except zipfile.BadZipFile as e:
        return parts, entries, [f"unzip: not a zip: {e}"]
    for info in archive.infolist():
        at = info.header_offset
        if at + 30 > len(data) or data[at:at + 4] != b"PK\x03\x04":
            problems.append(f"unzip: {info.filename}: no local header at {at}")
            continue
        (_, _, _, method, _, _, crc, csize, usize, name_len,
         extra_len) = struct.unpack_from("<IHHHHHIIIHH", data, at)
        lfh = 30 + name_len + extra_len
        local_name = data[at + 30:at + 30 + name_len].decode("utf-8", "replace")
        if local_name != info.filename or method != info.compress_type:
            problems.append(f"unzip: {info.filename}: local header says {local_name!r}, "
                            f"method {method}; central directory method {info.compress_type}")
        raw = data[at + lfh:at + lfh + info.compress_size]
        try:
            if info.compress_type == zipfile.ZIP_STORED:
                payload = raw
            elif info.compress_type == zipfile.ZIP_DEFLATED:
                payload = zlib.decompress(raw, -15)
            else:
                raise ValueError(f"method {info.compress_type}")
        except (zlib.error, ValueError) as e:
            problems.append(f"unzip: {info.filename}: cannot unpack: {e}")
            continue
        if len(payload) != info.file_size or zlib.crc32(payload) & 0xFFFFFFFF != info.CRC:
            problems.append(f"unzip: {info.filename}: size or CRC wrong after unpacking")
            continue
        if info.filename in parts:
            problems.append(f"unzip: {info.filename} twice")
        parts[info.filename] = payload
        entries[info.filename] = {"method": info.compress_type, "lfh": lfh, "raw": raw}
    return parts, entries, problems


def check_content_types(parts):
    problems = []
    try:
        root = ET.fromstring(parts.get("[Content_Types].xml", b""))
    except ET.ParseError as e:
        return [f"content types: not XML: {e}"]
    defaults = {d.get("Extension", "").lower() for d in root.iter(TYPES_NS + "Default")}
    overrides = {o.get("PartName", "") for o in root.iter(TYPES_NS + "Override")}
    for name in parts:
        if name == "[Content_Types].xml":
            continue
        extension = name.rsplit(".", 1)[-1].lower() if "." in name else ""
        if "/" + name not in overrides and extension not in defaults:
            problems.append(f"content type: no type for {name}")
    for part_name in sorted(overrides):
        if part_name.lstrip("/") not in parts:
            problems.append(f"content type: override for a missing part {part_name}")
    return problems


def check_block_map(parts, entries):
    problems = []
    try:
        root = ET.fromstring(parts.get("AppxBlockMap.xml", b""))
    except ET.ParseError as e:
        return [f"block map: not XML: {e}"]
    if root.get("HashMethod") != "http://www.w3.org/2001/04/xmlenc#sha256":
        problems.append(f"block map: hash method {root.get('HashMethod')}")
    listed = set()
    for file in root.iter(BLOCKMAP_NS + "File"):
        name = file.get("Name", "").replace("\\", "/")
        if name in listed:
            problems.append(f"block map: {name} twice")
        listed.add(name)
        if name not in parts:
            problems.append(f"block map: {name} is not in the package")
            continue
        payload, entry = parts[name], entries[name]
        if file.get("Size") != str(len(payload)):
            problems.append(f"block map: {name}: size {file.get('Size')}, part has {len(payload)}")
        if file.get("LfhSize") != str(entry["lfh"]):
            problems.append(f"block map: {name}: LfhSize {file.get('LfhSize')}, "
                            f"local header has {entry['lfh']}")
        blocks = list(file.iter(BLOCKMAP_NS + "Block"))
        if len(blocks) != (len(payload) + BLOCK - 1) // BLOCK:
            problems.append(f"block map: {name}: {len(blocks)} blocks for {len(payload)} bytes")
            continue
        deflated = entry["method"] == zipfile.ZIP_DEFLATED
        inflater, at = zlib.decompressobj(-15), 0
        for n, block in enumerate(blocks):
            data = payload[n * BLOCK:(n + 1) * BLOCK]
            digest = base64.b64encode(hashlib.sha256(data).digest()).decode()
            if block.get("Hash") != digest:
                problems.append(f"block map: {name}: hash of block {n} wrong")
            size = block.get("Size")
            if not deflated:
                if size is not None:
                    problems.append(f"block map: {name}: stored, yet block {n} has a Size")
                continue
            # Each block's compressed bytes must unpack to that block alone.
            if size is None or not size.isdigit():
                problems.append(f"block map: {name}: block {n} has no compressed size")
                break
            piece = entry["raw"][at:at + int(size)]
            at += int(size)
            try:
                unpacked = inflater.decompress(piece)
            except zlib.error:
                unpacked = b""
            if unpacked != data:
                problems.append(f"block map: {name}: block {n}'s {size} compressed bytes "
                                "do not unpack to the block")
                break
        if deflated and at != len(entry["raw"]):
            problems.append(f"block map: {name}: blocks hold {at} of "
                            f"{len(entry['raw'])} compressed bytes")
    for name in sorted(set(parts) - UNMAPPED - listed):
        problems.append(f"block map: {name} not listed")
    return problems


def windows_name(text):
    """[(key, value)] of a name as Windows writes it: KEY=value, ", "
    between, a value with separators in double quotes ("" for one)."""
    out, i = [], 0
    pattern = re.compile(r'\s*([A-Za-z0-9.]+)=(?:"((?:[^"]|"")*)"|([^,]*))\s*(?:,|$)')
    while i < len(text):
        m = pattern.match(text, i)
        if not m or m.end() == i:
            return None
        value = m.group(2).replace('""', '"') if m.group(2) is not None else m.group(3)
        out.append((m.group(1), value))
        i = m.end()
    return out


def certificate_subject(path):
    """[(key, value)] of the certificate's subject, in its encoded order,
    read by Python's own decoder (not by the openssl command the build uses)."""
    subject = ssl._ssl._test_decode_cert(path)["subject"]
    return [(WINDOWS_KEYS.get(key, key), value) for rdn in subject for key, value in rdn]


def check_manifest(parts, expected):
    """expected: publisher [(key, value)] or None, version, clsid, files
    (names the MSI installs), registered_dll (the MSI's DLL of the class),
    name (the identity the MSI removes)."""
    problems = []
    try:
        root = ET.fromstring(parts.get("AppxManifest.xml", b""))
    except ET.ParseError as e:
        return [f"manifest: not well-formed: {e}"]
    identity = root.find("m:Identity", NS)
    if identity is None:
        return ["manifest: no Identity"]
    if expected["publisher"] is not None:
        publisher = windows_name(identity.get("Publisher", ""))
        if publisher != expected["publisher"]:
            problems.append(f"manifest: publisher {identity.get('Publisher')!r} is not the "
                            f"certificate's subject {expected['publisher']}")
    for attribute, want in (("Version", expected["version"]), ("ProcessorArchitecture", "x64"),
                            ("Name", expected["name"])):
        if identity.get(attribute) != want:
            problems.append(f"manifest: Identity {attribute} {identity.get(attribute)!r}, "
                            f"expected {want!r}")
    external = root.find("m:Properties/uap10:AllowExternalContent", NS)
    if external is None or external.text != "true":
        problems.append("manifest: external content not allowed")
    apps = root.findall("m:Applications/m:Application", NS)
    if len(apps) != 1:
        return problems + [f"manifest: {len(apps)} applications"]
    app = apps[0]
    for attribute, want in (("TrustLevel", "mediumIL"), ("RuntimeBehavior", "win32App")):
        if app.get(f"{{{NS['uap10']}}}{attribute}") != want:
            problems.append(f"manifest: application {attribute} is not {want}")
    if app.get("Executable") not in expected["files"]:
        problems.append(f"manifest: program {app.get('Executable')} is not installed by the MSI")
    types = {}
    for item in app.iterfind(".//desktop4:FileExplorerContextMenus/desktop5:ItemType", NS):
        types[item.get("Type")] = [v.get("Clsid") for v in item.iterfind("desktop5:Verb", NS)]
    if types != {"*": [expected["clsid"]], "Directory": [expected["clsid"]]}:
        problems.append(f"manifest: menu verbs {types}, expected the command's class "
                        "for * and Directory")
    classes = app.findall(".//com:ComServer/com:SurrogateServer/com:Class", NS)
    if [(c.get("Id"), c.get("Path")) for c in classes] != [(expected["clsid"],
                                                              expected["registered_dll"])]:
        problems.append(f"manifest: COM classes {[(c.get('Id'), c.get('Path')) for c in classes]},"
                        f" expected the command's class in {expected['registered_dll']}")
    # Logos the manifest names must be parts, and PNG images.
    logos = [root.findtext("m:Properties/m:Logo", "", NS)]
    visual = app.find("uap:VisualElements", NS)
    if visual is not None:
        logos += [visual.get("Square150x150Logo"), visual.get("Square44x44Logo")]
    for logo in logos:
        part = parts.get((logo or "").replace("\\", "/"))
        if part is None or not part.startswith(b"\x89PNG\r\n\x1a\n"):
            problems.append(f"manifest: logo {logo} is not a PNG part")
    return problems


def all_problems(data, expected):
    parts, entries, problems = unzip(data)
    if not problems:
        problems += check_content_types(parts)
        problems += check_block_map(parts, entries)
        problems += check_manifest(parts, expected)
    return problems


def expectations():
    """What the MSI and the sources say the package must name."""
    files = {msi_tables.long_name(f["FileName"]): f for f in msi_tables.table(ARGS.msi, "File")}
    by_id = {f["File"]: name for name, f in files.items()}
    with open(ARGS.guids, encoding="utf-8") as f:
        clsid = re.search(r'kExplorerCommandClsidText\[\]\s*=\s*L"\{([0-9A-F-]{36})\}"',
                          f.read()).group(1)
    registered = [r["Value"] for r in msi_tables.table(ARGS.msi, "Registry")
                  if r["Key"].upper() == f"CLSID\\{{{clsid}}}\\INPROCSERVER32" and r["Name"] == ""]
    dll = None
    if len(registered) == 1 and re.fullmatch(r"\[#.+\]", registered[0]):
        dll = by_id.get(registered[0][2:-1])
    version = {p["Property"]: p["Value"]
               for p in msi_tables.table(ARGS.msi, "Property")}["ProductVersion"]
    removal = [a["Target"] for a in msi_tables.table(ARGS.msi, "CustomAction")
               if "Remove-AppxPackage" in a["Target"]]
    name = re.search(r"-Name (\S+)", removal[0]).group(1) if len(removal) == 1 else None
    publisher = certificate_subject(ARGS.certificate) if ARGS.certificate else None
    return {"publisher": publisher, "version": version + ".0", "clsid": clsid,
            "files": set(files), "registered_dll": dll, "name": name, "msi_files": files}


class BuiltPackage(unittest.TestCase):
    def test_the_signed_package_is_whole_and_names_what_the_msi_installs(self):
        expected = expectations()
        self.assertIsNotNone(expected["registered_dll"],
                             "the MSI registers no installed DLL for the command's class")
        self.assertIsNotNone(expected["name"], "the MSI has no one package removal")
        with open(ARGS.package, "rb") as f:
            data = f.read()
        self.assertEqual(all_problems(data, expected), [])
        parts, _, _ = unzip(data)
        if ARGS.certificate:
            self.assertIn("AppxSignature.p7x", parts, "the package is not signed")
        # The MSI installs this very package beside the DLL.
        package = expected["msi_files"].get(os.path.basename(ARGS.package))
        self.assertIsNotNone(package, "the MSI does not install the package")
        self.assertEqual(int(package["FileSize"]), len(data))


def load_builder():
    found = importlib.util.spec_from_file_location("build_package", ARGS.builder)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class BrokenPackages(unittest.TestCase):
    """Each broken package must be caught by the check it names."""

    def test_faults_are_found(self):
        builder = load_builder()
        expected = expectations()
        with open(ARGS.package, "rb") as f:
            good, _, _ = unzip(f.read())
        payload = [(n, good[n]) for n in good if n not in UNMAPPED]

        def rebuilt(parts=payload, block_map=None, content_types=None, stored_as_deflated=None):
            """A package of `parts`, its block map and content types edited
            by the functions given; `stored_as_deflated` names a part whose
            deflated bytes go under headers that say stored."""
            writer = builder.ZipWriter()
            entries = []
            for name, data in parts:
                sizes = writer.add(name, data, name.endswith(".xml"), blocks_compressed=True)
                entries.append(builder.block_map_entry(name, data, sizes))
            text = ('<?xml version="1.0" encoding="UTF-8"?>\n<BlockMap xmlns='
                    '"http://schemas.microsoft.com/appx/2010/blockmap" HashMethod='
                    '"http://www.w3.org/2001/04/xmlenc#sha256">\n' + "\n".join(entries)
                    + "\n</BlockMap>\n")
            writer.add("AppxBlockMap.xml", (block_map or str)(text).encode(), True)
            types = (content_types or str)(builder.CONTENT_TYPES).encode()
            writer.add("[Content_Types].xml", types, True)
            data = bytearray(writer.finish())
            if stored_as_deflated:
                # The method field of the local header (offset 8) and of the
                # central directory's entry (offset 10) set to stored.
                name = stored_as_deflated.encode()
                local = zipfile.ZipFile(io.BytesIO(bytes(data))).getinfo(stored_as_deflated)
                data[local.header_offset + 8:local.header_offset + 10] = b"\0\0"
                at = data.find(b"PK\x01\x02")
                while at != -1:
                    if data[at + 46:at + 46 + len(name)] == name:
                        data[at + 10:at + 12] = b"\0\0"
                    at = data.find(b"PK\x01\x02", at + 4)
            return bytes(data)

        def with_manifest(old, new):
            return [(n, d.replace(old.encode(), new.encode()) if n == "AppxManifest.xml" else d)
                    for n, d in payload]

        big = [(n, d) for n, d in payload] + [("Assets/Big.png", b"\x89PNG" + os.urandom(150000))]
        cases = [
            # (fault, package, words the problem must hold)
            # Guards: a checker that passes what it does not look at.
            ("rebuilt unchanged", rebuilt(), None),
            ("three deflated blocks, rebuilt unchanged",
             rebuilt(parts=big + [("Big.xml", b"<a>" + b"x" * 140000 + b"</a>")],
                     content_types=lambda t: t.replace(
                         "<Default ", '<Default Extension="xml" ContentType="text/xml"/>'
                         "<Default ", 1)), None),
            # Guards: the osslsigncode fault of a stored part signed deflated.
            ("content types deflated under a stored header",
             rebuilt(stored_as_deflated="[Content_Types].xml"), "unzip"),
            # Guards: a block hash Windows would refuse.
            ("a block hash changed",
             rebuilt(block_map=lambda t: re.sub(r'Hash="[^"]*"', 'Hash="' + "A" * 43 + '="', t,
                                                count=1)),
             "hash of block 0"),
            # Guards: a local header size Windows reads the data from wrongly.
            ("an LfhSize off by one",
             rebuilt(block_map=lambda t: re.sub(r'LfhSize="(\d+)"',
                                                lambda m: f'LfhSize="{int(m.group(1)) + 1}"', t,
                                                count=1)), "LfhSize"),
            # Guards: block sizes that do not cut the deflated data at blocks.
            ("a deflated block's size off by one",
             rebuilt(block_map=lambda t: re.sub(r'Size="(\d+)"/>',
                                                lambda m: f'Size="{int(m.group(1)) - 1}"/>', t,
                                                count=1)), "compressed"),
            # Guards: a part without a content type (Windows refuses the package).
            ("png content type missing",
             rebuilt(content_types=lambda t: re.sub(r"<Default [^>]*png[^>]*/>\n", "", t)),
             "no type for Assets/"),
            # Guards: a part the block map leaves out.
            ("a part left out of the block map",
             rebuilt(block_map=lambda t: re.sub(r'<File Name="Assets\\StoreLogo.png".*?</File>\n',
                                                "", t, flags=re.S)), "StoreLogo.png not listed"),
            # Guards: a manifest the package registration cannot parse.
            ("manifest not well-formed", rebuilt(parts=with_manifest("</Package>", "")),
             "not well-formed"),
            # Guards: a publisher that is not the signer (registration refused).
            ("another publisher",
             rebuilt(parts=with_manifest('Publisher="', 'Publisher="CN=Else, ')), "publisher"),
            # Guards: a verb naming another class than the DLL registers.
            ("another class", rebuilt(parts=with_manifest(expected["clsid"],
                                                          "00000000-0000-0000-0000-000000000000")),
             "class"),
            # Guards: a DLL path the MSI does not install.
            ("another DLL", rebuilt(parts=with_manifest(f'Path="{expected["registered_dll"]}"',
                                                        'Path="Other.dll"')), "COM classes"),
        ]
        if expected["publisher"] is None:
            cases = [c for c in cases if c[0] != "another publisher"]
        for fault, data, words in cases:
            with self.subTest(fault=fault):
                problems = all_problems(data, expected)
                if words is None:
                    self.assertEqual(problems, [])
                else:
                    self.assertTrue(any(words in p for p in problems),
                                    f"no problem mentions {words!r}: {problems}")


class PublisherFromCertificates(unittest.TestCase):
    """The builder's publisher (from the openssl command) against the
    subject as Python's own decoder reads it, for subjects a release
    certificate may have."""

    def test_publisher_is_the_subject(self):
        import subprocess
        import tempfile
        builder = load_builder()
        subjects = [
            "/CN=Rawlift self-signed build/O=Rawlift",
            # Guards: a comma in a value read as a separator (publisher
            # mismatch: Windows refuses the package).
            "/C=DE/ST=Bavaria/L=Munich/O=Corvane, Inc./OU=Imaging/CN=Corvane",
            '/CN=A "quoted" name/emailAddress=build@example.com',
            "/CN= leading space",
        ]
        with tempfile.TemporaryDirectory() as folder:
            for n, subject in enumerate(subjects):
                with self.subTest(subject=subject):
                    cert, key = os.path.join(folder, f"{n}.pem"), os.path.join(folder, f"{n}.key")
                    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes",
                                    "-days", "1", "-subj", subject, "-keyout", key, "-out", cert],
                                   check=True, capture_output=True)
                    publisher = builder.windows_subject(cert)
                    self.assertEqual(windows_name(publisher), certificate_subject(cert),
                                     publisher)


class WindowsNames(unittest.TestCase):
    def test_names_are_split_as_windows_writes_them(self):
        for text, parsed in [
            ("CN=Rawlift self-signed build, O=Rawlift",
             [("CN", "Rawlift self-signed build"), ("O", "Rawlift")]),
            ('CN=Corvane, O="Corvane, Inc.", C=DE',
             [("CN", "Corvane"), ("O", "Corvane, Inc."), ("C", "DE")]),
            ('O="a ""quoted"" name"', [("O", 'a "quoted" name')]),
            ("CN=x,, O=y", None),
        ]:
            with self.subTest(text=text):
                self.assertEqual(windows_name(text), parsed)


def main():
    global ARGS
    p = argparse.ArgumentParser()
    p.add_argument("--package", required=True)
    p.add_argument("--msi", required=True)
    p.add_argument("--guids", required=True)
    p.add_argument("--builder", required=True)
    p.add_argument("--certificate")
    ARGS, rest = p.parse_known_args()
    ARGS.certificate = os.environ.get("RAWLIFT_SIGN_CERT") or ARGS.certificate
    # Without a certificate (an unsigned build) there is no publisher to
    # compare; one named but missing is a fault of the build.
    if ARGS.certificate and not os.path.isfile(ARGS.certificate):
        print(f"FAIL: no signing certificate {ARGS.certificate}")
        return 1
    if not os.path.isfile(ARGS.package) or not os.path.isfile(ARGS.msi):
        print(f"SKIP: no package {ARGS.package} or no MSI {ARGS.msi}")
        return 77
    return msi_tables.run_tests(rest)


if __name__ == "__main__":
    sys.exit(main())
