#!/usr/bin/env bash
# Installs the Ansible collection from its tarball in dist/ with ansible-galaxy, into a folder of
# its own, and runs it: the installed collection reports the release's version, its modules'
# documentation loads, and its probe module reads a simulated device through skelvo-cli.
# Usage: check-collection.sh <dist folder> <version> <skelvo-cli> <skelvo-devsim>
set -euo pipefail
dist=$(cd "$1" && pwd) version=$2 cli=$3 devsim=$4
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../support/release_checks.sh"

tmp=$(mktemp -d)
sim=
cleanup() {
  if [ -n "$sim" ]; then kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
export HOME=$tmp ANSIBLE_COLLECTIONS_PATH=$tmp/collections ANSIBLE_LOCAL_TEMP=$tmp/ansible-tmp
export ANSIBLE_NOCOLOR=1 ANSIBLE_HOST_KEY_CHECKING=False

step "ansible-galaxy collection install"
ansible-galaxy collection install "$dist/skelvo-firmware-$version.tar.gz" -p "$tmp/collections"
manifest=$tmp/collections/ansible_collections/skelvo/firmware/MANIFEST.json
expect_eq "$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["collection_info"]["version"])' "$manifest")" \
  "$version" "the installed collection's version"
ansible-galaxy collection list -p "$tmp/collections" skelvo.firmware | tee "$tmp/list"
grep -q "skelvo.firmware *$version" "$tmp/list" || fail "ansible-galaxy collection list does not show skelvo.firmware $version"
for module in upgrade probe; do
  ansible-doc "skelvo.firmware.$module" >/dev/null || fail "ansible-doc skelvo.firmware.$module"
done

step "the installed probe module against a simulated device"
"$devsim" --model dravenholt --address 127.0.0.1 --http-port 0 --ready-file "$tmp/ready" >"$tmp/devsim.log" 2>&1 &
sim=$!
wait_for_file "$tmp/ready" 20 "skelvo-devsim to listen" "$tmp/devsim.log"
http_port=$(sed 's/.*://' "$tmp/ready")
ansible localhost -c local -i localhost, -m skelvo.firmware.probe \
  -a "{\"devices\": [\"127.0.0.1\"], \"http_port\": $http_port, \"skelvo_cli\": \"$cli\"}" | tee "$tmp/probe"
grep -q '"model": "Dravenholt II"' "$tmp/probe" || fail "the probe module did not report the simulated Dravenholt II"
echo "PASS: Ansible collection"
