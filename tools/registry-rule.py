#!/usr/bin/env python3
"""Prints, and writes to a file, the registry detection rule for the pack: the DisplayVersion of
the Apps & Features entry the setup writes, compared as a version, greater than or equal to this
version. One rule for Intune and Configuration Manager alike; it holds wherever the viewer lives
and whatever the files' dates, and a newer pack counts as installed.

Usage: registry-rule.py <entry key name> <version> <output file>
"""
import sys


def main():
    if len(sys.argv) != 4:
        sys.exit("usage: registry-rule.py <entry key name> <version> <output file>")
    key, version, output = sys.argv[1:]
    path = f"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{key}"
    text = (
        f"Detection rule for Zorvalind PlugIns ARM 64-bit {version}\n"
        "Rule type: Registry\n"
        f"Key path: HKEY_LOCAL_MACHINE\\{path}\n"
        "Value name: DisplayVersion\n"
        "Detection method: Version comparison\n"
        "Operator: Greater than or equal to\n"
        f"Value: {version}\n"
        "Associated with a 32-bit app on 64-bit clients: No\n"
        "\n"
        "Intune: Detection rules > Manually configure detection rules > Add > Registry, with the values above.\n"
        "Configuration Manager: Detection method > Add Clause > Setting type: Registry; Hive: HKEY_LOCAL_MACHINE;\n"
        f"Key: {path}; Value: DisplayVersion; Data type: Version; \"This registry key is associated with a\n"
        "32-bit application on 64-bit systems\" cleared; \"This registry setting must satisfy the following rule\":\n"
        f"Greater than or equal to, {version}.\n"
        "The entry is written by an elevated install (SYSTEM included) for the viewer's first Plugins folder on\n"
        "the machine; an install into a second folder writes an entry of its own, under another key.\n"
    )
    with open(output, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
