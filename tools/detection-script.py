#!/usr/bin/env python3
"""Writes a PowerShell detection script for the plug-in pack the build embeds: it checks every
file of the pack, by SHA-256, under the Plugins folder it is given (by default the viewer's
default folder). Detected: exit code 0 and one line on standard output; otherwise nothing is
printed and the exit code is 1.

The names are decoded as the setup decodes them. A name stored in the OEM code page without
saying so lands under a name that depends on the installing machine's code page: no script can
name it for every machine, and the build stops rather than write a script that never detects.

Usage: detection-script.py <archive> <output file> <version>
"""
import hashlib
import struct
import sys
import zipfile
import zlib

UTF8_FLAG = 0x800
UNICODE_PATH_FIELD = 0x7075
UTF8_HOSTS = (3, 19)  # Unix, macOS: Info-ZIP and the Archive Utility write UTF-8 without saying so


def stored_name(entry):
    """The name's bytes as the archive stores them (zipfile decoded them as UTF-8 or CP437)."""
    if entry.flag_bits & UTF8_FLAG:
        return entry.orig_filename.encode("utf-8")
    return entry.orig_filename.encode("cp437")


def unicode_path_field(entry, stored):
    extra, at = entry.extra, 0
    while at + 4 <= len(extra):
        tag, size = struct.unpack_from("<HH", extra, at)
        field = extra[at + 4:at + 4 + size]
        if tag == UNICODE_PATH_FIELD and size >= 5 and field[0] == 1 and \
                struct.unpack_from("<I", field, 1)[0] == zlib.crc32(stored):
            return field[5:].decode("utf-8")
        at += 4 + size
    return None


def installed_name(entry):
    """The name below Plugins, with backslashes, as the setup writes it."""
    stored = stored_name(entry)
    if entry.flag_bits & UTF8_FLAG:
        name = stored.decode("utf-8")
    else:
        name = unicode_path_field(entry, stored)
        if name is None and stored.isascii():
            name = stored.decode("ascii")
        if name is None and entry.create_system in UTF8_HOSTS:
            try:
                name = stored.decode("utf-8")
            except UnicodeDecodeError:
                pass
        if name is None:
            sys.exit(f"detection-script.py: {entry.orig_filename!r} is stored in the OEM code page; its installed "
                     "name depends on the machine, so no detection script can name it")
    return name.replace("/", "\\")


def quoted(text):
    # PowerShell takes the typographic single quotes for quotes too.
    for quote in "'\u2018\u2019\u201a\u201b":
        text = text.replace(quote, quote * 2)
    return f"'{text}'"


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: detection-script.py <archive> <output file> <version>")
    archive, output, version = sys.argv[1:]
    files = []
    with zipfile.ZipFile(archive) as z:
        for entry in z.infolist():
            if not entry.is_dir():
                files.append((installed_name(entry), hashlib.sha256(z.read(entry)).hexdigest().upper()))
    if not files:
        sys.exit("detection-script.py: the pack has no files to detect")
    files.sort()
    product = f"Zorvalind PlugIns ARM 64-bit {version}"
    lines = [
        f"# Intune detection script of {product}, made by the build from the pack it embeds.",
        "# Detected (exit code 0 and one line of output) when every file of the pack is under the folder",
        "# with the pack's SHA-256; otherwise it prints nothing and exits with 1. Run it as a 64-bit",
        "# process: \"Run script as 32-bit process on 64-bit clients: No\".",
        "param([string]$Plugins = \"$env:ProgramFiles\\Zorvalind\\Plugins\")",
        "$pack = @(",
    ]
    lines += [f"    @({quoted(name)}, '{digest}')," for name, digest in files[:-1]]
    lines += [f"    @({quoted(name)}, '{digest}')" for name, digest in files[-1:]]
    lines += [
        ")",
        "foreach ($file in $pack) {",
        "    $path = Join-Path -Path $Plugins -ChildPath $file[0]",
        "    try { $hash = (Get-FileHash -LiteralPath $path -Algorithm SHA256 -ErrorAction Stop).Hash }",
        "    catch { exit 1 }",
        "    if ($hash -ne $file[1]) { exit 1 }",
        "}",
        f"Write-Output {quoted(product + ': every file of the pack is in place')}",
        "exit 0",
    ]
    # With a byte order mark: Windows PowerShell reads a script without one in the ANSI code page.
    with open(output, "w", encoding="utf-8-sig", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
