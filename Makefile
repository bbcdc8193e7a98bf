# kelfit: build, test and demo entry points. `make test` works from a clean
# clone: it creates .venv, installs the package with its test extra, builds
# and runs the C++ tests (plain and sanitized), then runs pytest.

PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
JOBS   ?= 2
# Warnings are errors in CI.
WERROR := $(if $(CI),ON,OFF)

.PHONY: all test test-cpp test-cpp-sanitized test-python test-python-exact install install-exact gtest demo bench clean distclean

all: install

# The Python suite runs twice: against the exact-path build (every model
# value by the C library's trigonometry) and against the normal build. Both
# must give the same bits, so the same golden fits hold for both.
test: test-cpp test-cpp-sanitized test-python-exact test-python

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

install: $(VPY)
	$(VPY) -m pip install -q ".[test,tools]" --config-settings=cmake.define.KELFIT_WERROR=$(WERROR)

install-exact: $(VPY)
	$(VPY) -m pip install -q ".[test,tools]" --config-settings=cmake.define.KELFIT_WERROR=$(WERROR) \
	  --config-settings=cmake.define.KELFIT_EXACT_ONLY=ON --config-settings=build-dir=build/exact

# GoogleTest comes from Debian's libgtest-dev; install it when we may.
gtest:
	@if [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Installing libgtest-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null; \
	  else \
	    echo "GoogleTest is missing: install it, e.g. 'sudo apt-get install libgtest-dev'" >&2; exit 1; \
	  fi; \
	fi

test-cpp: gtest
	cmake -S . -B build/cpp -DKELFIT_BUILD_TESTS=ON -DKELFIT_WERROR=$(WERROR)
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)

# The same tests under AddressSanitizer and UBSan. Death tests fork and exit
# on purpose; they run in the plain build only.
test-cpp-sanitized: gtest
	cmake -S . -B build/cpp-sanitized -DKELFIT_BUILD_TESTS=ON -DKELFIT_SANITIZE=ON -DKELFIT_WERROR=$(WERROR)
	cmake --build build/cpp-sanitized -j $(JOBS)
	KELFIT_EQUIVALENCE_VECTORS=2000000 ctest --test-dir build/cpp-sanitized --output-on-failure -j $(JOBS) -E DeathTest

test-python-exact: install-exact
	$(VPY) -c "import kelfit; print('exact-path build:', kelfit.__file__)"
	$(VPY) -m pytest -q

test-python: install
	$(VPY) -m pytest

demo: $(VPY)
	$(VPY) -m pip install -q ".[tools]"
	$(VENV)/bin/kelfit demo

bench: $(VPY)
	@echo "make bench: not written yet" >&2; exit 1

clean:
	rm -rf build dist *.egg-info

distclean: clean
	rm -rf $(VENV)
