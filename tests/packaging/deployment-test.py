#!/usr/bin/env python3
"""The winget manifest and the Intune detection rule as the build made them, checked against the
program: its exit codes (app/ExitCodes.h), the executable's hash, version and switches, the pack's
installed files; and against the fields and values that winget's 1.28.0 manifest schema requires.

Usage: deployment-test.py <source folder> <build folder>
"""
import datetime
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
import zoneinfo

try:
    import yaml
except ImportError:
    sys.exit("PyYAML is missing: run scripts/bootstrap")

SOURCE, BUILD = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
EXE = os.path.join(BUILD, "ZorvalindPlugInsSetup.exe")
TESTHOST = os.path.join(BUILD, "ZorvalindPlugInsSetup-testhost.exe")
WINGET = os.path.join(BUILD, "packaging", "winget")
RULE = os.path.join(BUILD, "packaging", "intune-detection-rule.txt")

# How each way a run ends is reported to winget (keyed by the name in app/ExitCodes.h).
RETURN_RESPONSES = {
    "kExitRefusedHost": "systemNotSupported",
    "kExitWizardLeft": "cancelledByUser",
    "kExitNoFolder": "missingDependency",          # the viewer the pack belongs to is not found
    "kExitInstallFailed": "diskFull",              # what the program itself tells the user to check
    "kExitViewerRunning": "packageInUseByApplication",
    "kExitInstallInProgress": "installInProgress",
}

# From winget-cli's schemas/JSON/manifests/v1.28.0 (version, installer, defaultLocale).
SEGMENT = r'[^\.\s\\/:\*\?"<>\|\x01-\x1f]{1,32}'
IDENTIFIER = rf"^{SEGMENT}(\.{SEGMENT}){{1,7}}$"
VERSION = r'^[^\\/:\*\?"<>\|\x01-\x1f]+$'
LOCALE = r"^([a-zA-Z]{2,3}|[iI]-[a-zA-Z]+|[xX]-[a-zA-Z]{1,8})(-[a-zA-Z]{1,8})*$"
U16 = r"(0|[1-9][0-9]{0,3}|[1-5][0-9]{4}|6[0-4][0-9]{3}|65[0-4][0-9]{2}|655[0-2][0-9]|6553[0-5])"
MANIFEST_VERSION = rf"^{U16}(\.{U16}){{2}}$"
OS_VERSION = rf"^{U16}(\.{U16}){{0,3}}$"
URL = r"^([Hh][Tt][Tt][Pp][Ss]?)://.+$"
SHA256 = r"^[A-Fa-f0-9]{64}$"
INSTALLER_TYPES = {"msix", "msi", "appx", "exe", "zip", "inno", "nullsoft", "wix", "burn", "pwa", "portable", "font"}
ARCHITECTURES = {"x86", "x64", "arm", "arm64", "neutral"}
RESPONSES = {"packageInUse", "packageInUseByApplication", "installInProgress", "fileInUse", "missingDependency",
             "diskFull", "insufficientMemory", "invalidParameter", "noNetwork", "contactSupport",
             "rebootRequiredToFinish", "rebootRequiredForInstall", "rebootInitiated", "cancelledByUser",
             "alreadyInstalled", "downgrade", "blockedByPolicy", "systemNotSupported", "custom"}
SWITCHES = {"Silent", "SilentWithProgress", "Interactive", "InstallLocation", "Log", "Upgrade", "Custom", "Repair"}
REQUIRED = {
    "version": ["PackageIdentifier", "PackageVersion", "DefaultLocale", "ManifestType", "ManifestVersion"],
    "installer": ["PackageIdentifier", "PackageVersion", "Installers", "ManifestType", "ManifestVersion"],
    "defaultLocale": ["PackageIdentifier", "PackageVersion", "PackageLocale", "Publisher", "PackageName", "License",
                      "ShortDescription", "ManifestType", "ManifestVersion"],
}
INSTALLER_REQUIRED = ["Architecture", "InstallerUrl", "InstallerSha256"]
# Every field a manifest of ours uses, with the schema's rule for it: (pattern, min length, max length) or an enum.
STRING_RULES = {
    "PackageIdentifier": (IDENTIFIER, 1, 128), "PackageVersion": (VERSION, 1, 128),
    "DefaultLocale": (LOCALE, 1, 20), "PackageLocale": (LOCALE, 1, 20), "ManifestVersion": (MANIFEST_VERSION, 1, 99),
    "Publisher": (None, 2, 256), "PackageName": (None, 2, 256), "License": (None, 3, 512),
    "ShortDescription": (None, 3, 256), "Description": (None, 3, 10000), "MinimumOSVersion": (OS_VERSION, 1, 99),
    "InstallerUrl": (URL, 1, 2048), "InstallerSha256": (SHA256, 64, 64),
}
ENUM_RULES = {
    "InstallerType": INSTALLER_TYPES, "Architecture": ARCHITECTURES, "Scope": {"user", "machine"},
    "ElevationRequirement": {"elevationRequired", "elevationProhibited", "elevatesSelf"},
    "UpgradeBehavior": {"install", "uninstallPrevious", "deny"},
}
OTHER_FIELDS = {"ManifestType", "Tags", "InstallModes", "InstallerSwitches", "ExpectedReturnCodes", "Installers"}


def load_manifests():
    manifests = {}
    for name in sorted(os.listdir(WINGET)):
        with open(os.path.join(WINGET, name), encoding="utf-8") as f:
            document = yaml.safe_load(f)
        manifests.setdefault(document.get("ManifestType"), []).append((name, document))
    return manifests


def exit_codes():
    with open(os.path.join(SOURCE, "app", "ExitCodes.h"), encoding="utf-8") as f:
        text = f.read()
    body = re.search(r"enum\s+ExitCode\b[^{]*\{(.*?)\};", text, re.S)
    assert body, "no enum ExitCode in app/ExitCodes.h"
    return {name: int(value) for name, value in re.findall(r"^\s*(\w+)\s*=\s*(\d+)\s*,", body.group(1), re.M)}


def file_version(path):
    """Major and minor of the version resource's fixed file info."""
    with open(path, "rb") as f:
        data = f.read()
    at = data.find("VS_VERSION_INFO".encode("utf-16-le"))
    at = data.find(b"\xbd\x04\xef\xfe", at)  # VS_FIXEDFILEINFO's signature
    assert at > 0, "no version resource"
    ms = int.from_bytes(data[at + 8:at + 12], "little")
    return ms >> 16, ms & 0xFFFF


class WingetManifest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.manifests = load_manifests()

    def one(self, kind):
        found = self.manifests.get(kind, [])
        self.assertEqual(len(found), 1, f"{kind} manifests: {[n for n, _ in found]}")
        return found[0][1]

    def installer(self):
        installers = self.one("installer")["Installers"]
        self.assertEqual(len(installers), 1)
        return installers[0]

    def field(self, key):
        """An installer field, which may stand at the root or in the installer."""
        return self.installer().get(key, self.one("installer").get(key))

    def test_three_files_of_one_package(self):
        self.assertEqual(set(self.manifests), set(REQUIRED), "one version, one installer, one defaultLocale manifest")
        version, installer, locale = self.one("version"), self.one("installer"), self.one("defaultLocale")
        for key in ("PackageIdentifier", "PackageVersion", "ManifestVersion"):
            self.assertEqual({version[key], installer[key], locale[key]}, {version[key]}, key)
        self.assertEqual(version["ManifestVersion"], "1.28.0")
        self.assertEqual(version["DefaultLocale"], locale["PackageLocale"])
        package = version["PackageIdentifier"]
        names = {kind: found[0][0] for kind, found in self.manifests.items()}
        self.assertEqual(names, {"version": f"{package}.yaml", "installer": f"{package}.installer.yaml",
                                 "defaultLocale": f"{package}.locale.{locale['PackageLocale']}.yaml"})

    def test_schema_required_fields_and_values(self):
        for kind, required in REQUIRED.items():
            document = self.one(kind)
            for key in required:
                self.assertIn(key, document, f"{kind}: {key}")
            entries = list(document.items())
            if kind == "installer":
                for installer in document["Installers"]:
                    for key in INSTALLER_REQUIRED:
                        self.assertIn(key, installer, f"installer: {key}")
                    entries += list(installer.items())
            for key, value in entries:
                with self.subTest(manifest=kind, field=key):
                    if key in STRING_RULES:
                        pattern, shortest, longest = STRING_RULES[key]
                        # A version such as 4.70 must stay text, not become the number 4.7.
                        self.assertIsInstance(value, str)
                        self.assertTrue(shortest <= len(value) <= longest, value)
                        if pattern:
                            self.assertRegex(value, pattern)
                    elif key in ENUM_RULES:
                        self.assertIn(value, ENUM_RULES[key])
                    else:
                        self.assertIn(key, OTHER_FIELDS, "a field the schema does not have, or an unchecked one")
            self.assertEqual(document["ManifestType"], kind)
        for tag in self.one("defaultLocale").get("Tags", []):
            self.assertTrue(isinstance(tag, str) and 1 <= len(tag) <= 40, tag)
        modes = self.field("InstallModes")
        self.assertLessEqual(set(modes), {"interactive", "silent", "silentWithProgress"})
        self.assertEqual(len(modes), len(set(modes)))
        for key, value in self.field("InstallerSwitches").items():
            self.assertIn(key, SWITCHES)
            self.assertTrue(isinstance(value, str) and 1 <= len(value) <= 512, f"{key}: {value!r}")

    def test_what_and_how_it_installs(self):
        self.assertEqual(self.installer()["Architecture"], "arm64")
        self.assertEqual(self.field("InstallerType"), "exe")
        self.assertEqual(self.field("Scope"), "machine")
        self.assertEqual(self.field("ElevationRequirement"), "elevationRequired")

    def test_version_is_the_programs(self):
        major, minor = file_version(EXE)
        self.assertEqual(self.one("version")["PackageVersion"], f"{major}.{minor}")

    def test_hash_is_the_built_files(self):
        with open(EXE, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        self.assertEqual(self.installer()["InstallerSha256"].lower(), digest)

    def test_return_codes_are_the_programs(self):
        codes = exit_codes()
        self.assertEqual(codes.get("kExitInstalled"), 0)
        expected = {value: RETURN_RESPONSES.get(name, f"no agreed response for {name}")
                    for name, value in codes.items() if value != 0}
        listed = self.field("ExpectedReturnCodes")
        for item in listed:
            self.assertEqual(set(item), {"InstallerReturnCode", "ReturnResponse"})
            self.assertIsInstance(item["InstallerReturnCode"], int)
            self.assertIn(item["ReturnResponse"], RESPONSES)
        found = {item["InstallerReturnCode"]: item["ReturnResponse"] for item in listed}
        self.assertEqual(len(found), len(listed), "a return code listed twice")
        self.assertEqual(found, expected)

    def test_switches_are_the_programs(self):
        with open(EXE, "rb") as f:
            program = f.read()
        switches = self.field("InstallerSwitches")
        self.assertEqual(switches["Silent"], "/silent")
        self.assertEqual(switches["SilentWithProgress"], "/silent")
        for key, token in (("InstallLocation", "<INSTALLPATH>"), ("Log", "<LOGPATH>")):
            # The program takes a quoted value: spaces in winget's paths stay inside it.
            self.assertTrue(switches[key].endswith(f'="{token}"'), f"{key}: {switches[key]}")
        for key in ("Silent", "InstallLocation", "Log"):
            switch = switches[key].split('"')[0]
            with self.subTest(switch=switch):
                self.assertTrue(switch.encode("utf-16-le") in program, f"{switch} is not a switch the program reads")


class DetectionRule(unittest.TestCase):
    def rule(self):
        with open(RULE, encoding="utf-8") as f:
            lines = dict(line.split(": ", 1) for line in f.read().split("\n\n")[0].splitlines()[1:])
        return lines

    def test_names_an_installed_dll_and_its_date(self):
        rule = self.rule()
        self.assertEqual((rule["Rule type"], rule["Detection method"], rule["Operator"]),
                         ("File", "Date modified", "Equals"))
        self.assertTrue(rule["Path"].endswith("\\Plugins"))
        name = rule["File or folder"]
        self.assertRegex(name, r"^[^\\/]+\.[dD][lL][lL]$")
        value = datetime.datetime.strptime(rule["Value"], "%Y-%m-%d %H:%M:%S")

        # A real install in a zone with an offset: the file's time is the rule's wall-clock time
        # taken in the zone's offset at the install.
        zone = "Europe/Berlin"
        work = tempfile.mkdtemp(dir=BUILD, prefix="rule.")
        try:
            viewer = os.path.join(work, "viewer")
            os.mkdir(viewer)
            environment = dict(os.environ, TZ=zone, ZORVALIND_SETUP_TEST_NATIVE_MACHINE="AA64")
            offset = datetime.datetime.now(zoneinfo.ZoneInfo(zone)).utcoffset()
            folder = "Z:" + viewer.replace("/", "\\")
            run = subprocess.run([os.path.join(BUILD, "wine-test"), TESTHOST, "/silent", f"/folder={folder}"],
                                 cwd=work, env=environment, timeout=300, capture_output=True)
            self.assertEqual(run.returncode, 0, run.stdout.decode(errors="replace"))
            installed = os.path.join(viewer, "Plugins", name)
            self.assertTrue(os.path.isfile(installed), f"{name} is not directly in Plugins after an install")
            expected = (value - offset).replace(tzinfo=datetime.timezone.utc)
            self.assertEqual(datetime.datetime.fromtimestamp(os.stat(installed).st_mtime, datetime.timezone.utc),
                             expected)
        finally:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
