#!/usr/bin/env python3
"""Writes a PowerShell detection script for the plug-in pack the build embeds: it checks every
file of the pack, by SHA-256, in the Plugins folder that the setup uses (the Apps & Features
entry's InstallLocation, else the registered viewer's folder, else the default folder).
Detected: one line on standard output and exit code 0; otherwise nothing on standard output or
standard error, and exit code 0 too (Configuration Manager reads any other code as an error).

The names are decoded as the setup decodes them. A name stored in the OEM code page without
saying so lands under a name that depends on the installing machine's code page: no script can
name it for every machine, and the build stops rather than write a script that never detects.

Usage: detection-script.py <archive> <output file> <version> <entry key name>
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


def script_text(files, version, key):
    """The script for files, (name below Plugins, SHA-256) sorted by name."""
    product = f"Zorvalind PlugIns ARM 64-bit {version}"
    entry = f"Registry::HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{key}"
    lines = [
        f"# Detection script of {product}, made by the build from the pack it embeds.",
        "# Detected: every file of the pack, with the pack's SHA-256, in the Plugins folder the setup uses",
        "# (the entry's InstallLocation, else the registered viewer's folder, else the default folder): then",
        "# it prints one line and exits with 0. Otherwise it prints nothing, on standard output or standard",
        "# error, and exits with 0 too, which Intune and Configuration Manager both read as not installed.",
        "# Run it as a 64-bit process: \"Run script as 32-bit process on 64-bit clients: No\".",
        "param([string]$Plugins = '')",
        "$ErrorActionPreference = 'SilentlyContinue'",
        "$ProgressPreference = 'SilentlyContinue'",
        "# One line a file, its name and hash parted by a bar, which no file name holds.",
        "$pack = @(",
    ]
    lines += [f"    {quoted(name + '|' + digest)}" for name, digest in files]
    lines += [
        ")",
        "function Get-PluginsFolder {",
        f"    $entry = Get-ItemProperty -LiteralPath {quoted(entry)} -Name 'InstallLocation'",
        "    if ($entry -and $entry.InstallLocation -is [string] -and $entry.InstallLocation -ne '') { return $entry.InstallLocation }",
        "    # The viewer as the setup finds it: the quoted program of its open command, if it is zorvi64.exe.",
        "    $command = (Get-ItemProperty -LiteralPath 'Registry::HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\Zorvalind\\shell\\open\\command').'(default)'",
        "    if ($command -is [string] -and $command.Length -gt 1 -and $command.ToLowerInvariant().Contains('zorvi64.exe')) {",
        "        $path = $command.Substring(1)",
        "        $quote = $path.IndexOf('\"')",
        "        if ($quote -ge 0) { $path = $path.Substring(0, $quote) }",
        "        $drive = ''",
        "        if ($path.Length -ge 2 -and $path.Substring(1, 1) -eq ':') { $drive = $path.Substring(0, 2); $path = $path.Substring(2) }",
        "        $last = $path.LastIndexOf('\\')",
        "        if ($path.LastIndexOf('/') -gt $last) { $last = $path.LastIndexOf('/') }",
        "        $folder = $drive + $path.Substring(0, $last + 1)",
        "        if (-not $folder.EndsWith('\\')) { $folder += '\\' }",
        "        return $folder + 'Plugins'",
        "    }",
        "    $base = (Get-ItemProperty -LiteralPath 'Registry::HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion' -Name 'ProgramFilesDir').ProgramFilesDir",
        "    if ($base -is [string] -and $base -ne '') {",
        "        if (-not $base.EndsWith('\\')) { $base += '\\' }",
        "        return $base + 'Zorvalind\\Plugins'",
        "    }",
        "    return 'C:\\Zorvalind\\Plugins'",
        "}",
        "try {",
        "    if ($Plugins -eq '') { $Plugins = Get-PluginsFolder }",
        "    foreach ($line in $pack) {",
        "        $name, $hash = $line -split '\\|', 2",
        "        $path = Join-Path -Path $Plugins -ChildPath $name",
        "        if (-not (Test-Path -LiteralPath $path -PathType Leaf)) { exit 0 }",
        "        $found = Get-FileHash -LiteralPath $path -Algorithm SHA256",
        "        if (-not $found -or $found.Hash -ne $hash) { exit 0 }",
        "    }",
        "} catch { exit 0 }",
        f"Write-Output {quoted(product + ': every file of the pack is in place')}",
        "exit 0",
    ]
    return "\n".join(lines) + "\n"


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: detection-script.py <archive> <output file> <version> <entry key name>")
    archive, output, version, key = sys.argv[1:]
    files = []
    with zipfile.ZipFile(archive) as z:
        for entry in z.infolist():
            if not entry.is_dir():
                files.append((installed_name(entry), hashlib.sha256(z.read(entry)).hexdigest().upper()))
    if not files:
        sys.exit("detection-script.py: the pack has no files to detect")
    files.sort()
    # With a byte order mark: Windows PowerShell reads a script without one in the ANSI code page.
    with open(output, "w", encoding="utf-8-sig", newline="\r\n") as f:
        f.write(script_text(files, version, key))


if __name__ == "__main__":
    main()
