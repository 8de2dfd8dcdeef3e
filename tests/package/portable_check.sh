#!/bin/sh
# Fails when a binary meant to run on any x86-64 or arm64 Linux with glibc
# 2.17 or later (CentOS 7, RHEL 8, Ubuntu 18.04, Debian 10 and newer; it is
# built against Debian 11's 2.31) needs more: a glibc symbol version above 2.17, a
# C++ runtime symbol (GLIBCXX_, CXXABI_), or a shared library that glibc does
# not provide.
#   portable_check.sh FILE...
set -eu
floor=2.17
# The libraries every glibc of the floor and after has.
glibc_libraries='^(libc\.so\.6|libm\.so\.6|libdl\.so\.2|libpthread\.so\.0|librt\.so\.1|ld-linux-x86-64\.so\.2|ld-linux-aarch64\.so\.1)$'
failed=0
for file in "$@"; do
  symbols=$(objdump -T "$file") || { echo "$file: not an ELF file" >&2; failed=1; continue; }
  for version in $(printf '%s\n' "$symbols" | grep -o 'GLIBC_[0-9][0-9.]*' | sort -u); do
    number=${version#GLIBC_}
    if [ "$(printf '%s\n%s\n' "$floor" "$number" | sort -V | tail -n 1)" != "$floor" ]; then
      echo "$file needs $version:" $(printf '%s\n' "$symbols" | awk -v v="$version" 'index($0, v) { print $NF }') >&2
      failed=1
    fi
  done
  runtime=$(printf '%s\n' "$symbols" | grep -o '\(GLIBCXX\|CXXABI\)_[0-9.]*' | sort -u | tr '\n' ' ')
  [ -z "$runtime" ] || { echo "$file needs a C++ runtime: $runtime" >&2; failed=1; }
  for library in $(objdump -p "$file" | awk '$1 == "NEEDED" { print $2 }'); do
    printf '%s\n' "$library" | grep -Eq "$glibc_libraries" || { echo "$file needs $library" >&2; failed=1; }
  done
done
exit $failed
