#!/usr/bin/env bash
# `cmake --install` into a fresh prefix: exactly the documented files and
# nothing the tests, benchmarks or fuzzers build; kxhost from there lays out a
# working directory from the installed files alone (a clean environment, in
# a fresh directory), linking its container directory to the installed one.
#
#   install_test.sh BUILD
set -euo pipefail
build=$1
tmp=$(mktemp -d "${TMPDIR:-/tmp}/be_hadoop-install-XXXXXX")
trap 'rm -rf "$tmp"' EXIT
fail() { echo "install test: $*" >&2; exit 1; }
p="$tmp/prefix"

cmake --install "$build" --prefix "$p" >/dev/null
got=$(cd "$p" && find . -mindepth 1 \( -type f -o -type l \) | sort)
want='./bin/kxhost
./container/kxcontainer
./container/zrtHadoop_container
./data/kx_container_conf.xml
./etc/be_hadoop/kx_container_conf.xml
./lib/libbe_hadoop.so
./share/be_hadoop/locale/Latin1.cp
./share/be_hadoop/locale/README
./share/be_hadoop/locale/UTF-8.cp
./share/doc/be_hadoop/README.md'
[ "$got" = "$want" ] || fail "installed files differ from the layout:"$'\n'"$(diff <(echo "$want") <(echo "$got"))"
[ "$(readlink "$p/data/kx_container_conf.xml")" = "$p/etc/be_hadoop/kx_container_conf.xml" ] ||
  fail "data/kx_container_conf.xml does not link to the template"
for f in bin/kxhost container/kxcontainer container/zrtHadoop_container; do
  [ -x "$p/$f" ] || fail "$f is not executable"
done
# The operator's part of the README only.
grep -q '^## Installing from the package' "$p/share/doc/be_hadoop/README.md" || fail "README lacks installing"
if grep -q '^## Layout' "$p/share/doc/be_hadoop/README.md"; then fail "README has the developers' layout"; fi

clean() { (cd "$tmp" && env -i PATH=/usr/bin:/bin HOME="$tmp" "$@"); }
version=$(clean "$p/bin/kxhost" --version)
[ "$(clean "$p/container/kxcontainer" --version)" = "kxcontainer ${version#kxhost }" ] ||
  fail "kxhost and kxcontainer differ in version"
out=$(clean "$p/bin/kxhost" init "$tmp/agent" --port 40390) || fail "init failed: $out"
for f in kxcontainer zrtHadoop_container; do
  [ "$(readlink "$tmp/agent/container/$f")" = "$p/container/$f" ] || fail "container/$f is not linked to $p"
done
cmp -s "$tmp/agent/exe/locale/UTF-8.cp" "$p/share/be_hadoop/locale/UTF-8.cp" || fail "no locale data"
grep -q '<Port>40390</Port>' "$tmp/agent/data/kx_container_conf.xml" || fail "no port in the configuration"
grep -q 'KerberosPrincipal' "$tmp/agent/data/kx_container_conf.xml" || fail "the template was not used"
lib=$(cd "$tmp/agent" && env -i PATH=/usr/bin:/bin WEXAGENT="$tmp/agent" "$p/bin/kxhost" version) ||
  fail "the installed library does not load"
case $lib in *" ${version#kxhost } - folders "*) ;; *) fail "the library says '$lib', kxhost '$version'";; esac
echo "installed and laid out: $version; $lib"
