#!/usr/bin/env bash
# Makes sure the Debian packages that building and testing need are present. As root it installs
# the missing ones with apt-get; otherwise it prints the one apt-get line to run and fails.
# Usage: tools/deps.sh [group...]   (groups: build, plus those listed in tools/packages/)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(build)

wanted=()
for group in "${groups[@]}"; do
  while read -r name _; do
    [ -n "$name" ] && [ "${name:0:1}" != "#" ] && wanted+=("$name")
  done < "$here/packages/$group.txt"
done

# Names that installed packages provide count as present (npm inside another vendor's nodejs).
provided=$(dpkg-query -W -f='${Status}|${Provides}\n' 2>/dev/null | sed -n 's/^install ok installed|//p' |
  tr ',' '\n' | awk 'NF {print $1}' || true)

missing=()
for name in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] && continue
  grep -qxF -- "$name" <<<"$provided" || missing+=("$name")
done
[ ${#missing[@]} -eq 0 ] && exit 0

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:  apt-get update && $line" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
