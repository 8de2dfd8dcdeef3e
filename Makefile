# `make demo` and `make test`, which the README's ./make.sh runs, and the
# packages (`make deb`, `make rpm`) and release archive (`make dist`). Each
# installs its build dependencies first when run as root.

PRESETS := default asan solaris
# The solaris profile cross-built for big-endian SPARC, its unit tests run
# under qemu-user, whenever the cross tools are installed (the test
# dependencies include them).
ifneq ($(shell command -v sparc64-linux-gnu-g++ 2>/dev/null),)
ifneq ($(shell command -v qemu-sparc64 2>/dev/null),)
PRESETS += sparc64
endif
endif
# The Linux profile cross-built for 32-bit x86, whenever its cross compiler
# is installed: an x86-64 kernel runs its tests itself.
ifneq ($(shell command -v i686-linux-gnu-g++ 2>/dev/null),)
PRESETS += i386
endif
# The Linux profile cross-built for 64-bit ARM, its tests run under
# qemu-user, whenever the cross compiler and the emulator are installed.
ifneq ($(shell command -v aarch64-linux-gnu-g++ 2>/dev/null),)
ifneq ($(shell command -v qemu-aarch64 2>/dev/null),)
PRESETS += arm64
endif
endif
# Seconds each fuzzer runs in `make fuzz`, and in `make test`.
FUZZ_SECONDS ?= 60
TEST_FUZZ_SECONDS := 20

# build-<preset> and test-<preset> are pattern rules, which make skips for
# phony targets; no file of those names is ever made.
.PHONY: demo test fuzz deps deps-demo deps-deb deps-rpm deps-dist portable-root test-jdks deb rpm dist bench clean

deps:
	@scripts/ensure-deps.sh test

deps-demo:
	@scripts/ensure-deps.sh demo

deps-deb:
	@scripts/ensure-deps.sh deb

deps-rpm:
	@scripts/ensure-deps.sh rpm

deps-dist:
	@scripts/ensure-deps.sh dist

# The Debian 11 root that the portable launcher and packer are built in
# (cmake/portable.cmake), made once when run as root. Without it the builds
# go on, and installs and packages get this machine's launcher.
portable-root:
	@if [ "$$(id -u)" -eq 0 ]; then \
	  scripts/bullseye-root.sh ensure >/dev/null || echo "No Debian 11 build root: no portable launcher"; \
	  if [ "$$(dpkg --print-architecture)" = amd64 ] && command -v aarch64-linux-gnu-as >/dev/null; then \
	    scripts/bullseye-root.sh ensure-arm64 >/dev/null || echo "No arm64 part in the Debian 11 build root: no portable arm64 launcher"; \
	  fi; \
	elif ! scripts/bullseye-root.sh check >/dev/null; then \
	  echo "No Debian 11 build root, which only root can make: no portable launcher"; \
	fi

build-default: portable-root
build-arm64: portable-root

# Java 11, which Debian 12 no longer ships, for the tests to run against
# besides this machine's JDKs: Debian 11's runtime, unpacked once when run as
# root (scripts/java11-home.sh, seconds). Java 8 and 21, which need a newer
# glibc, run the example in a Debian 13 root made once when run as root
# (scripts/java-roots.sh, about four minutes).
test-jdks:
	@if [ "$$(id -u)" -eq 0 ]; then \
	  scripts/java11-home.sh ensure >/dev/null || echo "No Java 11: the tests run against this machine's JDKs only"; \
	  scripts/java-roots.sh ensure >/dev/null || echo "No Debian 13 root: Java 8 and 21 are not tried"; \
	  if command -v qemu-aarch64 >/dev/null; then \
	    scripts/arm64-java-root.sh ensure >/dev/null || echo "No arm64 Java root: the arm64 launcher is not tried on a JVM"; \
	  fi; \
	elif ! scripts/java11-home.sh check >/dev/null; then \
	  echo "No Java 11, which only root can unpack: the tests run against this machine's JDKs only"; \
	fi

build-%: deps
	cmake --preset $*
	cmake --build --preset $*

# ctest runs the tests of a profile side by side, as many at once as its test
# preset's execution.jobs says (CMakePresets.json), against the JDKs under
# /usr/lib/jvm and the Java 11 of test-jdks.
test-%: build-% test-jdks
	LAUNCHER_TEST_JDKS="/usr/lib/jvm$$(home=$$(scripts/java11-home.sh check) && echo ":$$home")" ctest --preset $*

# Only the launcher, jlauncher-pack and the example: no tests, no GoogleTest.
# The portable launcher and packer too, where the Debian 11 root is or can
# be made, so that the demo's packed file runs wherever they do.
demo: deps-demo portable-root
	cmake --preset demo
	cmake --build --preset demo
	@scripts/demo.sh build/demo

# The packages and the archive, from the release profile (no tests) in
# build/release: jlauncher_<version>_<arch>.deb and jlauncher-pack_...deb,
# jlauncher-<version>-1.<arch>.rpm and jlauncher-pack-...rpm, and
# jlauncher-<version>-linux-<arch>.tar.gz. Where the build made the portable
# arm64 programs, the Debian packages and the archive for arm64 too:
# jlauncher_<version>_arm64.deb and jlauncher-<version>-linux-aarch64.tar.gz.
define build-release
cmake --preset release
cmake --build --preset release
endef
arm64-packages = if grep -q CPACK_JLAUNCHER_ARM64_LAUNCHER build/release/CPackConfig.cmake; then \
	  cd build/release && JLAUNCHER_PACKAGE_ARCH=arm64 cpack -G $(1); fi

deb: deps-deb portable-root
	$(build-release)
	cd build/release && cpack -G DEB
	$(call arm64-packages,DEB)

rpm: deps-rpm portable-root
	$(build-release)
	cd build/release && cpack -G RPM

dist: deps-dist portable-root
	$(build-release)
	cd build/release && cpack -G TGZ
	$(call arm64-packages,TGZ)

# Every profile is built and tested, and then the fuzzers run, even when an
# earlier step fails; the target fails if any did.
test: deps
	@failed=""; \
	for preset in $(PRESETS); do \
	  echo "=== $$preset ==="; \
	  $(MAKE) --no-print-directory test-$$preset || failed="$$failed $$preset"; \
	done; \
	echo "=== fuzz ==="; \
	$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(TEST_FUZZ_SECONDS) || failed="$$failed fuzz"; \
	if [ -n "$$failed" ]; then echo "FAILED profiles:$$failed"; exit 1; fi

# The libFuzzer harnesses of tests/fuzz, each for FUZZ_SECONDS on a copy of
# its corpus; any finding fails the target (scripts/fuzz.sh).
fuzz: build-fuzz
	@scripts/fuzz.sh build/fuzz $(FUZZ_SECONDS)

bench: build-default
	@for script in bench/*.sh; do $$script build/default || exit 1; done

clean:
	rm -rf build
