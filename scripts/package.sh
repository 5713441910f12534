#!/usr/bin/env bash
# Builds the Debian package (build-package/) with Debian's build flags,
# checks what it holds and what it depends on, unpacks it into a scratch
# root, checks its man page, copyright and changelog there, and runs the
# installed qpp-replay on the installed examples: each must dispatch its
# expected output, with the plugin and the host library of the scratch root.
# The installed examples are type-checked against the installed stub too,
# and lintian (when installed) must find no error in the package.
#
#   bash scripts/package.sh
set -euo pipefail
cd "$(dirname "$0")/.."

build=build-package
package=quiven-proc-python

fail() {
  echo "package: $*" >&2
  exit 1
}

echo "== package: build ($build)"
# The flags dpkg-buildpackage would give (hardening among them), given
# explicitly so that a build tree configured before takes them too.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cxxflags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
ldflags=$(dpkg-buildflags --get LDFLAGS)
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_CXX_FLAGS="$cxxflags" -DCMAKE_EXE_LINKER_FLAGS="$ldflags" \
  -DCMAKE_SHARED_LINKER_FLAGS="$ldflags" \
  -DQPP_BUILD_TESTS=OFF -DQPP_BUILD_BENCH=OFF >"$build.configure.log" 2>&1 ||
  { cat "$build.configure.log"; fail "configuration failed"; }
cmake --build "$build" -j "$(nproc)"
rm -f "$build"/${package}_*.deb
(cd "$build" && cpack -G DEB >cpack.log 2>&1) || { cat "$build/cpack.log"; fail "cpack failed"; }
debs=("$build"/${package}_*.deb)
((${#debs[@]} == 1)) && [[ -f ${debs[0]} ]] || fail "cpack made no single package: ${debs[*]}"
deb=${debs[0]}
echo "== package: $deb"

# Contents: exactly these files. The stand-in host library lies in the
# package's private directory, never in the linker's search path, where it
# would pose as the daemon's.
triplet=$(gcc -print-multiarch)
expected=$(sort <<EOF
./usr/bin/qpp-replay
./usr/lib/$triplet/quivend/libquiven-proc-python.so.0
./usr/lib/$triplet/quivend/qpp-runner
./usr/lib/$triplet/quiven-proc-python/libquivend.so.4
./usr/share/doc/$package/changelog.Debian.gz
./usr/share/doc/$package/copyright
./usr/share/doc/$package/install.md
./usr/share/doc/$package/scripting.md
./usr/share/man/man1/qpp-replay.1.gz
./usr/share/$package/stubs/qpp.pyi
./usr/share/$package/examples/README.md
./usr/share/$package/examples/app_usage.py
./usr/share/$package/examples/gen-traffic.py
./usr/share/$package/examples/risk_alerts.py
./usr/share/$package/examples/tls_inventory.py
./usr/share/$package/examples/top_talkers.py
./usr/share/$package/examples/traffic.jsonl
./usr/share/$package/examples/expected/app_usage.jsonl
./usr/share/$package/examples/expected/risk_alerts.jsonl
./usr/share/$package/examples/expected/tls_inventory.jsonl
./usr/share/$package/examples/expected/top_talkers.jsonl
EOF
)
actual=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
if [[ $actual != "$expected" ]]; then
  diff <(echo "$expected") <(echo "$actual") >&2 || true
  fail "contents differ from the expected files (< expected, > packaged)"
fi
echo "package: contents: $(wc -l <<<"$actual") files as expected"

# Dependencies: declared from the ELF files by dpkg-shlibdeps.
depends=$(dpkg-deb -f "$deb" Depends)
python_version=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
names=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
for dep in "libpython$python_version" libssl3 libpcap0.8 libndpi4.2 libstdc++6 libc6; do
  grep -qxF "$dep" <<<"$names" || fail "Depends lacks $dep: $depends"
done
grep -q quivend <<<"$depends" && fail "Depends names the daemon's library: $depends"
# The install notes name every dependency (libpython as libpython3.X).
while read -r dep; do
  grep -qF "\`${dep/#libpython3.*/libpython3.X}\`" docs/install.md ||
    fail "docs/install.md does not name the dependency $dep"
done <<<"$names"
echo "package: Depends: $depends"

# Unpacked into a scratch root, as dpkg would install it under /.
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"
lib=$root/usr/lib/$triplet
examples=$root/usr/share/$package/examples
doc=$root/usr/share/doc/$package

# The changelog: gzip -9 without name and time stamp, as Debian wants it,
# and its latest entry is this package's version.
zcat "$doc/changelog.Debian.gz" | gzip -9n | cmp -s - "$doc/changelog.Debian.gz" ||
  fail "changelog.Debian.gz is not compressed with gzip -9n"
version=$(dpkg-deb -f "$deb" Version)
latest=$(zcat "$doc/changelog.Debian.gz" | dpkg-parsechangelog -l - -S Version)
[[ $latest == "$version" ]] ||
  fail "the changelog's latest entry is $latest, the package is $version: add an entry to cmake/debian/changelog"
# The copyright file in Debian's machine-readable format.
head -n1 "$doc/copyright" |
  grep -qxF "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
  fail "copyright is not in Debian's machine-readable format"
# The man page, as help2man made it from the tool's --help.
for section in NAME SYNOPSIS DESCRIPTION OPTIONS '"SEE ALSO"'; do
  zcat "$root/usr/share/man/man1/qpp-replay.1.gz" | grep -qxF ".SH $section" ||
    fail "qpp-replay.1.gz has no section $section"
done
echo "package: changelog $latest, copyright, man page as expected"
for example in top_talkers tls_inventory risk_alerts app_usage; do
  out=$root/$example.out
  LD_DEBUG=files LD_DEBUG_OUTPUT=$root/$example.ld \
    "$root/usr/bin/qpp-replay" --script "$examples/$example.py" \
    --sink-output "$out" "$examples/traffic.jsonl" >/dev/null ||
    fail "the installed qpp-replay failed on $example"
  cmp -s "$out" "$examples/expected/$example.jsonl" ||
    fail "$example: dispatched output differs from expected/$example.jsonl"
  # What the loader opened: the plugin and the host library of the scratch
  # root, not those of a build tree or of the system.
  loaded=$(sed -n 's/.*calling init: //p' "$root/$example.ld".* | xargs -r realpath)
  for file in "$lib/quivend/libquiven-proc-python.so.0" "$lib/quiven-proc-python/libquivend.so.4"; do
    grep -qxF "$(realpath "$file")" <<<"$loaded" ||
      fail "$example: the installed qpp-replay did not load $file"
  done
  echo "package: installed qpp-replay: $example as expected"
done

# The same example with its script in the installed runner, beside the
# installed plugin.
out=$root/top_talkers.process.out
"$root/usr/bin/qpp-replay" --isolation process --script "$examples/top_talkers.py" \
  --sink-output "$out" "$examples/traffic.jsonl" >/dev/null ||
  fail "the installed qpp-replay failed on top_talkers in a script runner"
cmp -s "$out" "$examples/expected/top_talkers.jsonl" ||
  fail "top_talkers in a script runner: dispatched output differs from expected/top_talkers.jsonl"
echo "package: installed qpp-replay: top_talkers in a script runner as expected"

if command -v mypy >/dev/null; then
  MYPYPATH=$root/usr/share/$package/stubs mypy --strict --no-incremental \
    --cache-dir /dev/null "$examples"/{top_talkers,tls_inventory,risk_alerts,app_usage}.py ||
    fail "the installed examples do not type-check against the installed stub"
  echo "package: installed examples type-check against the installed stub"
fi
# lintian's errors, and the warnings about what this script checks above,
# fail the package; other warnings are shown.
if command -v lintian >/dev/null; then
  report=$(lintian --fail-on none "$deb" 2>&1) || fail "lintian could not check $deb: $report"
  report=$(grep -v '^running with root privileges' <<<"$report" || true)
  [[ -z $report ]] || echo "$report"
  if grep -E '^E: |: (bogus-mail-host|no-copyright-file|no-changelog|no-manual-page)( |$)' <<<"$report" >/dev/null; then
    fail "lintian found errors in $deb"
  fi
  echo "package: lintian found no error"
else
  echo "package: lintian is not installed (bash scripts/setup.sh installs it): not run"
fi
echo "package: passed"
