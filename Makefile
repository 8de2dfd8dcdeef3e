# The two commands of the README: `make demo` and `make test`. Both install the
# build dependencies first when run as root.

PRESETS := default asan solaris

# build-<preset> and test-<preset> are pattern rules, which make skips for
# phony targets; no file of those names is ever made.
.PHONY: demo test deps bench clean

deps:
	@scripts/ensure-deps.sh

build-%: deps
	cmake --preset $*
	cmake --build --preset $*

test-%: build-%
	ctest --preset $*

demo: build-default
	@scripts/demo.sh build/default

# Every profile is built and tested, even when an earlier one fails; the
# target fails if any did.
test: deps
	@failed=""; \
	for preset in $(PRESETS); do \
	  echo "=== $$preset ==="; \
	  $(MAKE) --no-print-directory test-$$preset || failed="$$failed $$preset"; \
	done; \
	if [ -n "$$failed" ]; then echo "FAILED profiles:$$failed"; exit 1; fi

bench: build-default
	@for script in bench/*.sh; do $$script build/default || exit 1; done

clean:
	rm -rf build
