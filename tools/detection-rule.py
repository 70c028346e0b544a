#!/usr/bin/env python3
"""Prints, and writes to a file, an Intune detection rule for the plug-in pack the build embeds:
one DLL directly in Plugins and a modification date that the file has after an install in
every time zone, whichever way the agent compares.

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
                "directly in Plugins. Use the detection script intune-detection.ps1.\n")
    else:
        # The archive holds local wall-clock time; the install turns it into the file's UTC time
        # with the installing machine's offset (UTC-12 to UTC+14), and Windows shows it in local
        # time again, an hour off when daylight saving time has changed since. Whether the agent
        # compares the local or the UTC value is not documented: one day earlier holds for both.
        date = datetime.datetime(*entry.date_time)
        earlier = date - datetime.timedelta(days=1)
        text = (
            f"Intune detection rule for Zorvalind PlugIns ARM 64-bit {version}\n"
            "Rule type: File\n"
            "Path: %ProgramFiles%\\Zorvalind\\Plugins\n"
            f"File or folder: {entry.filename}\n"
            "Detection method: Date modified\n"
            "Operator: Greater than or equal to\n"
            f"Value: {earlier:%Y-%m-%d %H:%M:%S}\n"
            "Associated with a 32-bit app on 64-bit clients: No\n"
            "\n"
            "Path: the viewer's folder and \\Plugins; %ProgramFiles%\\Zorvalind is the viewer's default.\n"
            f"Value: one day before the file's date in the pack ({date:%Y-%m-%d %H:%M:%S}), so that the rule holds\n"
            "after an install in every time zone, whether the agent compares local time or UTC. A pack whose\n"
            "file of this name is dated less than a day earlier counts as this one.\n"
            "Associated with a 32-bit app: No, so that %ProgramFiles% is the 64-bit folder.\n"
            "Every file of the pack, by SHA-256: the detection script intune-detection.ps1\n"
            "(Run script as 32-bit process on 64-bit clients: No).\n"
        )
    with open(output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
