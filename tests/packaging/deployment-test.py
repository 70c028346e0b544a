#!/usr/bin/env python3
"""The winget manifest, the Intune detection rule and the detection script as the build made them,
checked against the program: its exit codes (app/ExitCodes.h), the executable's hash, version and
switches, the pack's installed files and their hashes; and against the fields and values that
winget's 1.12.0 manifest schema allows.

Usage: deployment-test.py <source folder> <build folder> <manifest folder>
"""
import datetime
import hashlib
import importlib.util
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import zipfile
import zlib
import zoneinfo

try:
    import yaml
except ImportError:
    sys.exit("PyYAML is missing: run scripts/bootstrap")

SOURCE, BUILD, WINGET = (os.path.abspath(a) for a in sys.argv[1:4])
EXE = os.path.join(BUILD, "ZorvalindPlugInsSetup.exe")
TESTHOST = os.path.join(BUILD, "ZorvalindPlugInsSetup-testhost.exe")
RULE = os.path.join(BUILD, "packaging", "intune-detection-rule.txt")
REGISTRY_RULE = os.path.join(BUILD, "packaging", "detection-rule.txt")
SCRIPT = os.path.join(BUILD, "packaging", "intune-detection.ps1")
# What tests/CMakeLists.txt gives the manifest it makes for this test.
TEST_URL = "https://downloads.example.com/4.76/ZorvalindPlugInsSetup.exe"
TEST_OPTIONAL = {"ReleaseDate": datetime.date(2026, 12, 11), "PublisherUrl": "https://www.example.com/zorvalind",
                 "Copyright": 'Copyright (c) 2026 Zorvalind: "all" rights reserved #1 \\ '}
UNSET_OPTIONAL = ("PackageUrl", "LicenseUrl")

# How each way a run ends is reported to winget (keyed by the name in app/ExitCodes.h).
RETURN_RESPONSES = {
    "kExitRefusedHost": "systemNotSupported",
    "kExitWizardLeft": "cancelledByUser",
    "kExitNoFolder": "missingDependency",          # the viewer the pack belongs to is not found
    "kExitInstallFailed": "contactSupport",        # a file in use, access denied, a damaged entry: the log says
    "kExitViewerRunning": "packageInUseByApplication",
    "kExitInstallInProgress": "installInProgress",
}

# From winget-cli's schemas/JSON/manifests/v1.12.0 (version, installer, defaultLocale).
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
    "InstallerUrl": (URL, 1, 2048), "InstallerSha256": (SHA256, 64, 64), "InstallerLocale": (LOCALE, 1, 20),
    "PublisherUrl": (URL, 1, 2048), "PackageUrl": (URL, 1, 2048), "LicenseUrl": (URL, 1, 2048),
    "Copyright": (None, 3, 512), "ProductCode": (None, 1, 255),
}
# An AppsAndFeaturesEntries item's fields, and a package dependency's.
ENTRY_RULES = {"DisplayName": (None, 1, 256), "Publisher": (None, 1, 256), "DisplayVersion": (None, 1, 128),
               "ProductCode": (None, 1, 255)}
DEPENDENCY_RULES = {"PackageIdentifier": (IDENTIFIER, 1, 128), "MinimumVersion": (VERSION, 1, 128)}
ENUM_RULES = {
    "InstallerType": INSTALLER_TYPES, "Architecture": ARCHITECTURES, "Scope": {"user", "machine"},
    "ElevationRequirement": {"elevationRequired", "elevationProhibited", "elevatesSelf"},
    "UpgradeBehavior": {"install", "uninstallPrevious", "deny"},
}
OTHER_FIELDS = {"ManifestType", "Tags", "InstallModes", "InstallerSwitches", "ExpectedReturnCodes", "Installers",
                "ReleaseDate", "AppsAndFeaturesEntries", "Dependencies"}
# What tests/CMakeLists.txt gives the manifest as the viewer's package.
TEST_VIEWER_PACKAGE = "Zorvalind.Viewer"


def cached(key):
    """A value of the build's CMake cache."""
    with open(os.path.join(BUILD, "CMakeCache.txt"), encoding="utf-8") as f:
        found = re.search(rf"^{key}:[A-Z]+=(.*)$", f.read(), re.M)
    assert found, f"{key} is not in the build's cache"
    return found.group(1)


def entry_key():
    """The Apps & Features entry's key name the program was built with."""
    with open(os.path.join(BUILD, "generated", "install", "EntryBuild.h"), encoding="utf-8") as f:
        found = re.search(r'^#define ENTRY_KEY_NAME L"([^"]+)"$', f.read(), re.M)
    assert found, "no ENTRY_KEY_NAME in the generated header"
    return found.group(1)


def load_manifests(folder=WINGET):
    manifests = {}
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), encoding="utf-8") as f:
            text = f.read()
        document = yaml.safe_load(text)
        manifests.setdefault(document.get("ManifestType"), []).append((name, document, text))
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
        self.assertEqual(len(found), 1, f"{kind} manifests: {[n for n, _, _ in found]}")
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
        # The one build variable sets the version and every file's schema line.
        manifest_version = cached("WINGET_MANIFEST_VERSION")
        self.assertEqual(version["ManifestVersion"], manifest_version)
        for kind, found in self.manifests.items():
            schema = re.findall(r"^# yaml-language-server: \$schema=(\S+)$", found[0][2], re.M)
            self.assertEqual(schema, [f"https://aka.ms/winget-manifest.{kind}.{manifest_version}.schema.json"], kind)
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
        def check(node, rules, where):
            self.assertIsInstance(node, dict, where)
            for key, value in node.items():
                self.assertIn(key, rules, f"{where}: a field the schema does not have")
                pattern, shortest, longest = rules[key]
                self.assertIsInstance(value, str, f"{where}.{key}")
                self.assertTrue(shortest <= len(value) <= longest, f"{where}.{key}: {value!r}")
                if pattern:
                    self.assertRegex(value, pattern)
        for i, item in enumerate(self.field("AppsAndFeaturesEntries") or []):
            check(item, ENTRY_RULES, f"AppsAndFeaturesEntries[{i}]")
        dependencies = self.field("Dependencies") or {}
        self.assertLessEqual(set(dependencies), {"PackageDependencies"})
        for i, item in enumerate(dependencies.get("PackageDependencies", [])):
            self.assertIn("PackageIdentifier", item)
            check(item, DEPENDENCY_RULES, f"PackageDependencies[{i}]")
        for tag in self.one("defaultLocale").get("Tags", []):
            self.assertTrue(isinstance(tag, str) and 1 <= len(tag) <= 40, tag)
        modes = self.field("InstallModes")
        self.assertLessEqual(set(modes), {"interactive", "silent", "silentWithProgress"})
        self.assertEqual(len(modes), len(set(modes)))
        for key, value in self.field("InstallerSwitches").items():
            self.assertIn(key, SWITCHES)
            self.assertTrue(isinstance(value, str) and 1 <= len(value) <= 512, f"{key}: {value!r}")

    def test_release_settings_and_optional_fields(self):
        self.assertEqual(self.installer()["InstallerUrl"], TEST_URL)
        self.assertEqual(self.field("InstallerLocale"), "en-US")
        fields = dict(self.one("installer"), **self.one("defaultLocale"))
        for key, value in TEST_OPTIONAL.items():
            self.assertEqual(fields.get(key), value, key)
        for key in UNSET_OPTIONAL:
            self.assertNotIn(key, fields, "a field that was not set is left out")
        def empty_values(node, where):
            if isinstance(node, dict):
                return [e for key, value in node.items() for e in empty_values(value, f"{where}.{key}")]
            if isinstance(node, list):
                return [e for i, value in enumerate(node) for e in empty_values(value, f"{where}[{i}]")]
            return [where] if node is None or node == "" else []
        for kind, found in self.manifests.items():
            self.assertEqual(empty_values(found[0][1], kind), [], "fields written with an empty value")
            self.assertNotRegex(found[0][2], r"@[A-Z_]+@", "a placeholder left over")

    def test_build_writes_no_manifest_without_a_download_address(self):
        url, own = cached("WINGET_INSTALLER_URL"), os.path.join(BUILD, "packaging", "winget")
        if url:
            self.assertEqual(load_manifests(own)["installer"][0][1]["Installers"][0]["InstallerUrl"], url)
        else:
            self.assertFalse(os.path.exists(own), "a manifest without a download address")

    def test_what_and_how_it_installs(self):
        self.assertEqual(self.installer()["Architecture"], "arm64")
        self.assertEqual(self.field("InstallerType"), "exe")
        self.assertEqual(self.field("Scope"), "machine")
        self.assertEqual(self.field("ElevationRequirement"), "elevationRequired")

    def test_apps_and_features_entry_is_the_one_the_setup_writes(self):
        with open(EXE, "rb") as f:
            program = f.read()
        key = entry_key()
        entries = self.field("AppsAndFeaturesEntries")
        self.assertEqual(len(entries), 1)
        entry, locale = entries[0], self.one("defaultLocale")
        self.assertEqual(entry["ProductCode"], key)
        self.assertEqual(self.field("ProductCode"), key)
        self.assertEqual(entry["DisplayVersion"], self.one("version")["PackageVersion"])
        self.assertEqual((entry["DisplayName"], entry["Publisher"]), (locale["PackageName"], locale["Publisher"]))
        # The program writes these very texts: its key name, and its version resource's names.
        for text in (key, entry["DisplayName"], entry["Publisher"]):
            self.assertIn((text + "\0").encode("utf-16-le"), program, text)

    def test_depends_on_the_viewers_package_only_where_one_is_named(self):
        self.assertEqual(self.field("Dependencies"), {"PackageDependencies": [{"PackageIdentifier": TEST_VIEWER_PACKAGE}]})
        # The same templates without a viewer's package: no dependency at all.
        work = tempfile.mkdtemp(prefix="manifest.")
        try:
            settings = os.path.join(work, "settings.cmake")
            with open(settings, "w", encoding="utf-8") as f:
                for key, value in (("URL", TEST_URL), ("MANIFEST_VERSION", "1.12.0"), ("VIEWER_PACKAGE", ""),
                                   ("PRODUCT_CODE", entry_key()), ("DISPLAY_NAME", "Zorvalind PlugIns ARM 64-bit"),
                                   ("PUBLISHER", "Zorvalind")):
                    f.write(f'set(WINGET_{key} "{value}")\n')
            out = os.path.join(work, "out")
            subprocess.run(["cmake", f"-DEXE={EXE}", "-DVERSION=4.76", f"-DSETTINGS={settings}",
                            f"-DTEMPLATES={os.path.join(SOURCE, 'packaging', 'winget')}", f"-DOUT={out}", "-P",
                            os.path.join(SOURCE, "cmake", "WingetManifest.cmake")], check=True, capture_output=True)
            installer = load_manifests(out)["installer"][0][1]
            self.assertNotIn("Dependencies", installer)
            self.assertEqual(installer["AppsAndFeaturesEntries"][0]["ProductCode"], entry_key())
        finally:
            shutil.rmtree(work, ignore_errors=True)

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


def wine(*arguments):
    """A program of the build's Wine prefix, its output as text."""
    run = subprocess.run([os.path.join(BUILD, "wine-test"), *arguments], timeout=120, capture_output=True)
    return run.returncode, run.stdout.decode("utf-8", errors="replace")


ENTRY_KEY = "HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"


def remove_managed_state():
    """The entries, pending records and copies the installs of this test left in the prefix."""
    _, listing = wine("reg", "query", ENTRY_KEY.rstrip("\\"))
    for key in re.findall(r"^(HKEY_LOCAL_MACHINE\\.*\\Zorvalind\.PlugIns\.ARM64[^\\\r\n]*)\r?$", listing, re.M):
        wine("reg", "delete", key, "/f")
    wine("reg", "delete", "HKLM\\SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending", "/f")
    program_data = os.path.join(BUILD, "wineprefix", "drive_c", "ProgramData")
    for name in os.listdir(program_data):
        if name.startswith("Zorvalind.PlugIns.ARM64"):
            shutil.rmtree(os.path.join(program_data, name), ignore_errors=True)


def install(zone):
    """A real silent install in a time zone; the viewer's folder, which the caller removes."""
    viewer = tempfile.mkdtemp(dir=BUILD, prefix="deployment.")
    environment = dict(os.environ, TZ=zone, ZORVALIND_SETUP_TEST_NATIVE_MACHINE="AA64")
    folder = "Z:" + viewer.replace("/", "\\")
    run = subprocess.run([os.path.join(BUILD, "wine-test"), TESTHOST, "/silent", f"/folder={folder}"],
                         cwd=viewer, env=environment, timeout=300, capture_output=True)
    if run.returncode != 0:
        shutil.rmtree(viewer, ignore_errors=True)
        raise AssertionError(f"install in {zone}: exit {run.returncode}: {run.stdout.decode(errors='replace')}")
    return viewer


class Detection(unittest.TestCase):
    # The zones furthest from UTC on both sides, and one with daylight saving time.
    ZONES = ("Pacific/Kiritimati", "Etc/GMT+12", "Europe/Berlin")

    @classmethod
    def setUpClass(cls):
        remove_managed_state()
        cls.viewers = {}
        for zone in cls.ZONES:
            cls.viewers[zone] = install(zone)

    @classmethod
    def tearDownClass(cls):
        for viewer in cls.viewers.values():
            shutil.rmtree(viewer, ignore_errors=True)
        remove_managed_state()

    def test_registry_rule_detects_the_entry_an_install_writes(self):
        with open(REGISTRY_RULE, encoding="utf-8") as f:
            rule = dict(line.split(": ", 1) for line in f.read().split("\n\n")[0].splitlines()[1:])
        key = entry_key()
        self.assertEqual(rule, {
            "Rule type": "Registry",
            "Key path": f"HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{key}",
            "Value name": "DisplayVersion", "Detection method": "Version comparison",
            "Operator": "Greater than or equal to", "Value": "%d.%d" % file_version(EXE),
            "Associated with a 32-bit app on 64-bit clients": "No"})
        # What the first install wrote there satisfies it: the same version, compared as one.
        code, text = wine("reg", "query", rule["Key path"], "/v", rule["Value name"])
        self.assertEqual(code, 0, text)
        found = re.search(r"DisplayVersion\s+REG_SZ\s+(\S+)", text)
        self.assertTrue(found, text)
        as_version = lambda v: tuple(int(p) for p in v.split("."))
        self.assertGreaterEqual(as_version(found.group(1)), as_version(rule["Value"]))

    def rule(self):
        with open(RULE, encoding="utf-8") as f:
            return dict(line.split(": ", 1) for line in f.read().split("\n\n")[0].splitlines()[1:])

    def test_rule_holds_in_every_zone_whichever_time_the_agent_compares(self):
        rule = self.rule()
        self.assertEqual((rule["Rule type"], rule["Detection method"], rule["Operator"]),
                         ("File", "Date modified", "Greater than or equal to"))
        self.assertEqual(rule["Associated with a 32-bit app on 64-bit clients"], "No")
        self.assertEqual(rule["Path"], "%ProgramFiles%\\Zorvalind\\Plugins")
        name = rule["File or folder"]
        self.assertRegex(name, r"^[^\\/]+\.[dD][lL][lL]$")
        value = datetime.datetime.strptime(rule["Value"], "%Y-%m-%d %H:%M:%S")
        for zone, viewer in self.viewers.items():
            with self.subTest(zone=zone):
                installed = os.path.join(viewer, "Plugins", name)
                self.assertTrue(os.path.isfile(installed), f"{name} is not directly in Plugins after an install")
                moment = datetime.datetime.fromtimestamp(os.stat(installed).st_mtime, datetime.timezone.utc)
                utc = moment.replace(tzinfo=None)
                local = moment.astimezone(zoneinfo.ZoneInfo(zone)).replace(tzinfo=None)
                self.assertGreaterEqual(utc, value, "detected by an agent that compares UTC")
                self.assertGreaterEqual(local, value, "detected by an agent that compares local time")
                # Not looser than it has to be: a pack dated two days earlier is not this one.
                self.assertLessEqual(min(utc, local), value + datetime.timedelta(days=1))

    def test_script_names_every_installed_file_with_its_hash(self):
        with open(SCRIPT, "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"), "Windows PowerShell reads a script without a BOM as ANSI")
        text = raw[3:].decode("utf-8")
        listed = dict(re.findall(r"^    '((?:[^']|'')+)\|([0-9A-F]{64})'\r$", text, re.M))
        self.assertTrue(listed, "no files in the script")
        listed = {name.replace("''", "'"): digest for name, digest in listed.items()}
        plugins = os.path.join(self.viewers[self.ZONES[0]], "Plugins")
        installed = {}
        for folder, _, files in os.walk(plugins):
            for file in files:
                path = os.path.join(folder, file)
                with open(path, "rb") as f:
                    installed[os.path.relpath(path, plugins).replace("/", "\\")] = hashlib.sha256(f.read()).hexdigest().upper()
        self.assertEqual(listed, installed)


class DetectionScriptNames(unittest.TestCase):
    """The script names files as the setup decodes and writes them, from a small crafted archive."""

    def archive(self, path, entries):
        """entries: (stored name bytes, host system, extra field). zipfile writes an ASCII stand-in
        of the same length, patched to the stored bytes in both headers (no CRC covers a name)."""
        stand_ins = []
        with zipfile.ZipFile(path, "w") as z:
            for i, (stored, host, extra) in enumerate(entries):
                stand_in = chr(ord("a") + i).encode("ascii") * len(stored)
                info = zipfile.ZipInfo(stand_in.decode("ascii"), (2026, 6, 5, 9, 18, 4))
                info.create_system, info.extra = host, extra
                z.writestr(info, f"file {i}")
                stand_ins.append(stand_in)
        with open(path, "rb") as f:
            data = f.read()
        for (stored, _, _), stand_in in zip(entries, stand_ins):
            self.assertEqual(data.count(stand_in), 2)
            data = data.replace(stand_in, stored)
        with open(path, "wb") as f:
            f.write(data)

    def script(self, entries):
        work = tempfile.mkdtemp(prefix="names.")
        try:
            archive, script = os.path.join(work, "pack.zip"), os.path.join(work, "detect.ps1")
            self.archive(archive, entries)
            run = subprocess.run([sys.executable, os.path.join(SOURCE, "tools", "detection-script.py"), archive, script,
                                  "4.76", "Zorvalind.PlugIns.ARM64"], capture_output=True, text=True)
            if run.returncode != 0:
                return None, run.stderr
            with open(script, encoding="utf-8-sig") as f:
                return re.findall(r"^    '((?:[^']|'')+)\|[0-9A-F]{64}'$", f.read(), re.M), ""
        finally:
            shutil.rmtree(work, ignore_errors=True)

    def test_names_as_the_setup_writes_them(self):
        unicode_field = lambda stored, name: struct.pack("<HHBI", 0x7075, 5 + len(name), 1, zlib.crc32(stored)) + name
        names, error = self.script([
            (b"it's \xe2\x80\x99quoted\xe2\x80\x99.dll", 3, b""),      # Unix host, unmarked UTF-8, quotes
            (b"Sub/x\x81.dll", 0, unicode_field(b"Sub/x\x81.dll", "Sub/Überall.dll".encode())),  # Info-ZIP's field
            (b"plain.8bf", 0, b""),
        ])
        self.assertEqual(error, "")
        self.assertEqual(sorted(names), sorted(["it''s \u2019\u2019quoted\u2019\u2019.dll", "Sub\\Überall.dll", "plain.8bf"]))

    def test_refuses_a_name_in_the_oem_code_page(self):
        names, error = self.script([(b"x\x81.dll", 0, b""), (b"plain.dll", 0, b"")])
        self.assertIsNone(names, "a script that names a file the setup may write under another name")
        self.assertIn("OEM code page", error)


def detection_script_module():
    spec = importlib.util.spec_from_file_location("detection_script", os.path.join(SOURCE, "tools", "detection-script.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def unquoted(line):
    """The text of a line holding one PowerShell single-quoted string, or None."""
    found = re.fullmatch(r"    '((?:[^'\u2018\u2019\u201a\u201b]|''|\u2018\u2018|\u2019\u2019|\u201a\u201a|\u201b\u201b)*)'", line)
    if not found:
        return None
    text = found.group(1)
    for quote in "'\u2018\u2019\u201a\u201b":
        text = text.replace(quote * 2, quote)
    return text


def code_only(text):
    """The script without its comments and quoted strings: what its brackets must balance in."""
    text = re.sub(r"(?m)^\s*#.*$", "", text)
    text = re.sub(r"'(?:[^']|'')*'", "''", text)
    return re.sub(r'"(?:[^"`]|`.)*"', '""', text)


class DetectionScriptRules(unittest.TestCase):
    """Debian has no PowerShell to run the script, so its text is held to the rules that make it
    right, for packs of one file (which @( @('a', 'b') ) would flatten), of two, and a name outside
    ASCII: one quoted line a file, exit 0 on every way out, output only once every file matched."""

    CASES = {
        "one file": [("zv_one.dll", "A" * 64)],
        "two files": [("Sub\\zv_two.8bf", "B" * 64), ("zv_one.dll", "C" * 64)],
        "a name outside ASCII": [("Überall's \u2019quoted\u2019 Filter.8bf", "D" * 64)],
    }

    def test_every_pack_gives_a_script_that_keeps_the_rules(self):
        module = detection_script_module()
        key = entry_key()
        for what, files in self.CASES.items():
            with self.subTest(pack=what):
                text = module.script_text(sorted(files), "4.76", key)
                head, rest = text.split("$pack = @(\n", 1)
                body, tail = rest.split("\n)\n", 1)
                self.assertEqual([unquoted(line) for line in body.split("\n")],
                                 [f"{name}|{digest}" for name, digest in sorted(files)])
                self.assertEqual(text.count("@("), 1, "a nested array literal, which one file flattens")
                code = code_only(text)
                for open_, close in ("()", "{}", "[]"):
                    self.assertEqual(code.count(open_), code.count(close), open_ + close)
                self.assertEqual(set(re.findall(r"\bexit\s+(\S+)", code)), {"0"}, "Configuration Manager: any other code is an error")
                for silent in ("Write-Host", "Write-Error", "Write-Warning", "throw", "Write-Verbose"):
                    self.assertNotIn(silent, code)
                self.assertEqual(code.count("Write-Output"), 1)
                self.assertLess(code.index("} catch { exit 0 }"), code.index("Write-Output"))
                self.assertLess(code.index("$ErrorActionPreference = ''"), code.index("Get-ItemProperty"))
                self.assertIn("$ErrorActionPreference = 'SilentlyContinue'", text)
                # Every path taken as written: a name with [ ] is no wildcard.
                for cmdlet in ("Get-ItemProperty", "Test-Path", "Get-FileHash"):
                    for use in re.findall(rf"{cmdlet} [^\n]*", code):
                        self.assertIn("-LiteralPath", use)
                # The folder as the setup finds it, in its order.
                order = [f"Uninstall\\{key}'", "Zorvalind\\shell\\open\\command'", "'ProgramFilesDir'",
                         "'C:\\Zorvalind\\Plugins'"]
                at = [text.index(needle) for needle in order]
                self.assertEqual(at, sorted(at))
                self.assertIn("-Name 'InstallLocation'", text)

    def test_built_script_has_a_byte_order_mark_and_windows_lines(self):
        with open(SCRIPT, "rb") as f:
            raw = f.read()
        self.assertTrue(raw.startswith(b"\xef\xbb\xbf"))
        self.assertNotIn(b"\n", raw.replace(b"\r\n", b""))


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], "-v"])
