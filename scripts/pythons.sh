#!/usr/bin/env bash
# Prints the other CPython interpreters (3.9 to 3.13, built with a shared
# libpython) found on this machine, one "VERSION PATH" line each, oldest
# first; the version of the default interpreter is left out. Interpreters
# that do not qualify are reported on standard error.
set -uo pipefail

default=${1:-/usr/bin/python3}
default_version=$("$default" -c 'import sys; print("%d.%d" % sys.version_info[:2])')

declare -A seen=()
for exe in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/*/bin/python3.* /usr/bin/python3.* /usr/local/bin/python3.*; do
  [[ -x $exe && $exe =~ /python3\.[0-9]+$ ]] || continue
  info=$("$exe" -c 'import sys, sysconfig
print("%d.%d" % sys.version_info[:2], sysconfig.get_config_var("Py_ENABLE_SHARED") or 0)' 2>/dev/null) || continue
  read -r version shared <<<"$info"
  minor=${version#3.}
  if ((minor < 9 || minor > 13)); then
    echo "pythons: skipped $exe ($version: outside 3.9 to 3.13)" >&2
  elif [[ $shared != 1 ]]; then
    echo "pythons: skipped $exe ($version: no shared libpython)" >&2
  elif [[ $version == "$default_version" ]]; then
    echo "pythons: skipped $exe ($version: the default's version)" >&2
  elif [[ -n ${seen[$version]:-} ]]; then
    :
  else
    seen[$version]=$exe
  fi
done

for version in "${!seen[@]}"; do echo "$version ${seen[$version]}"; done | sort -t. -k2,2n
