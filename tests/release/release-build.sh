#!/bin/sh
# A release as anyone can check it: a second clean build in another folder gives the same
# bytes, and the build signs both executables with a certificate made here for the test.
# Usage: release-build.sh <source folder> <main build folder> [cmake options of the pack]
set -eu
src=$1
build=$2
shift 2
work=$(mktemp -d "$build/release.XXXXXX")
trap 'rm -rf "$work"' EXIT
exes="ZorvalindPlugInsSetup ZorvalindPlugInsSetup-testhost"

cmake -S "$src" -B "$work/build" -DBUILD_TESTING=OFF "$@" >"$work/log" 2>&1
# shellcheck disable=SC2086
cmake --build "$work/build" -j2 --target $exes >>"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
for exe in $exes; do
  cmp "$build/$exe.exe" "$work/build/$exe.exe"
done
echo "reproducible: both executables are byte-identical to the main build's"

# A throwaway code-signing certificate, its password in a file.
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=Zorvalind test signing" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
pass=$(head -c 18 /dev/urandom | base64 | tr -d '/+=')
printf '%s' "$pass" >"$work/pass.txt"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/sign.p12" -passout "file:$work/pass.txt"

cmake -S "$src" -B "$work/build" -DSIGN_PKCS12="$work/sign.p12" -DSIGN_PASSWORD_FILE="$work/pass.txt" \
  -DWINGET_INSTALLER_URL=https://downloads.example.com/ZorvalindPlugInsSetup.exe >"$work/signlog" 2>&1
# shellcheck disable=SC2086
cmake --build "$work/build" -j2 --verbose --target $exes >>"$work/signlog" 2>&1 || { cat "$work/signlog"; exit 1; }
if grep -rqF "$pass" "$work/signlog" "$work/build"; then
  echo "the password shows in the build log or the build files" >&2
  exit 1
fi
for exe in $exes; do
  osslsigncode verify -in "$work/build/$exe.exe" -CAfile "$work/cert.pem" >"$work/verify" 2>&1 \
    || { cat "$work/verify"; exit 1; }
done
echo "signed: both executables verify"

# The winget manifest is written after signing: it names the signed file's hash.
cmake --build "$work/build" -j2 --target winget_manifest >>"$work/signlog" 2>&1 || { cat "$work/signlog"; exit 1; }
hash=$(sha256sum "$work/build/ZorvalindPlugInsSetup.exe" | cut -d' ' -f1 | tr a-f A-F)
grep -qx "    InstallerSha256: $hash" "$work/build/packaging/winget/Zorvalind.PlugInsARM64.installer.yaml" \
  || { echo "the winget manifest does not name the signed executable's hash" >&2; exit 1; }
echo "winget manifest: the signed executable's hash"

# The signed test host still installs the pack.
mkdir -p "$work/viewer" "$work/start"
winpath() { echo "Z:$1" | sed 's|/|\\|g'; }
(cd "$work/start" && ZORVALIND_SETUP_TEST_NATIVE_MACHINE=AA64 "$build/wine-test" \
  "$work/build/ZorvalindPlugInsSetup-testhost.exe" /silent "/folder=$(winpath "$work/viewer")")
files=$(find "$work/viewer/Plugins" -type f | wc -l)
[ "$files" -gt 0 ] || { echo "the signed program installed nothing" >&2; exit 1; }
echo "the signed test host installed $files files"

# One byte changed: the signature no longer holds.
cp "$work/build/ZorvalindPlugInsSetup.exe" "$work/tampered.exe"
printf 'X' | dd of="$work/tampered.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
if osslsigncode verify -in "$work/tampered.exe" -CAfile "$work/cert.pem" >/dev/null 2>&1; then
  echo "a changed file still verifies" >&2
  exit 1
fi
echo "tampered: verification fails"
