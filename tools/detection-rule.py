#!/usr/bin/env python3
"""Prints, and writes to a file, an Intune detection rule for the plug-in pack the build embeds:
one DLL directly in Plugins and its modification date as Windows shows it after an install.

The DLL is the newest one (by its archive date, then by name): the file most likely to differ
from the previous pack. Names outside ASCII are passed over, so that the rule names the file the
same way whatever code page the archive's names are read with.

Usage: detection-rule.py <archive> <output file> <version>
"""
import datetime
import sys
import zipfile


def newest_dll(archive):
    with zipfile.ZipFile(archive) as z:
        entries = sorted(z.infolist(), key=lambda e: e.filename)
    dlls = [e for e in entries
            if not e.is_dir() and "/" not in e.filename and "\\" not in e.filename
            and e.filename.lower().endswith(".dll") and e.filename.isascii()]
    return max(dlls, key=lambda e: e.date_time) if dlls else None


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: detection-rule.py <archive> <output file> <version>")
    archive, output, version = sys.argv[1:]
    entry = newest_dll(archive)
    if entry is None:
        text = (f"No Intune detection rule for Zorvalind PlugIns ARM 64-bit {version}: the pack has no DLL "
                "directly in Plugins.\n")
    else:
        # The archive holds local wall-clock time; the install turns it into the file's UTC time
        # with the installing machine's offset, and Windows shows it in local time again.
        date = datetime.datetime(*entry.date_time)
        earlier = date - datetime.timedelta(days=1)
        text = (
            f"Intune detection rule for Zorvalind PlugIns ARM 64-bit {version}\n"
            "Rule type: File\n"
            "Path: %ProgramFiles%\\Zorvalind\\Plugins\n"
            f"File or folder: {entry.filename}\n"
            "Detection method: Date modified\n"
            "Operator: Equals\n"
            f"Value: {date:%Y-%m-%d %H:%M:%S}\n"
            "\n"
            "Path: the viewer's folder and \\Plugins; %ProgramFiles%\\Zorvalind is the viewer's default.\n"
            "Value: the local time Windows shows for the file, when daylight saving time was in the same\n"
            "state at the install as on that date (else it shows an hour off). Where that cannot be relied\n"
            f"on, or the targets lie in other time zones: Operator: Greater than or equal to, Value: {earlier:%Y-%m-%d %H:%M:%S}.\n"
        )
    with open(output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
