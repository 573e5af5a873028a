#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need. As root it runs
# apt-get itself; otherwise it prints the line to run.
set -euo pipefail
pkgs=(cmake g++ make pkg-config libexpat1-dev libcurl4-openssl-dev libcpp-httplib-dev
      libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev
      default-jdk-headless libhessian-java libsqlite3-dev libspdlog-dev nlohmann-json3-dev libkrb5-dev
      krb5-kdc krb5-admin-server krb5-user)
missing=()
# make package: CPack finds the libraries linked with dpkg-shlibdeps and file.
pkgs+=(dpkg-dev file)
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}"
else
  echo "missing packages; run as root:" >&2
  echo "  apt-get install -y ${missing[*]}" >&2
  exit 1
fi
