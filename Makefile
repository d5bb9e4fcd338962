# Set-up, build and checks for a fresh Debian machine (run as root).
#   make run    installs what is missing, builds, runs the demo job
#   make test   the same set-up, then the C++ unit tests and the Python test suite
#   make bench  the same set-up plus peer libraries, then the benchmarks
#   make test-oldest  the suite on the oldest supported CPython, under NumPy 1.26
#   make sanitize     the C++ tests and the suite under AddressSanitizer and UBSan

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := g++ make libtbb-dev libabsl-dev
# CPython 3.12 or newer when pyenv keeps one (a shim of an unselected version does not run,
# so look at the installed versions themselves), else the default python3.
BASE_PYTHON := $(shell for v in $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.1[2-9]* 2>/dev/null | sort -V -r); do \
    [ -x "$$v/bin/python3" ] && "$$v/bin/python3" -c 'import venv, ensurepip' 2>/dev/null && { echo "$$v/bin/python3"; break; }; done)
ifeq ($(BASE_PYTHON),)
BASE_PYTHON := python3
endif
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml _tallyfold.pyi tallyfold/_engine.pyi \
  $(wildcard tallyfold/*.py tallyfold/py.typed)

# The oldest supported CPython (3.10) from pyenv, else from the PATH.
OLDEST_VENV := .venv-oldest
OLDEST_PY := $(OLDEST_VENV)/bin/python
OLDEST_BASE_PYTHON := $(shell for v in $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.10.* 2>/dev/null | sort -V -r) /usr/bin/python3.10 /usr/local/bin/python3.10; do \
    p="$$v"; [ -d "$$v" ] && p="$$v/bin/python3"; [ -x "$$p" ] && "$$p" -c 'import venv, ensurepip' 2>/dev/null && { echo "$$p"; break; }; done)

.PHONY: run test bench deps venv build cpp-test clean test-oldest sanitize

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi

# The stamps depend on the package list, so an existing checkout installs what a change to the
# list adds.
$(VENV)/.ready: requirements-dev.txt | deps
	$(BASE_PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "numpy>=1.26" -r requirements-dev.txt
	touch $@

venv: deps $(VENV)/.ready

$(VENV)/.built: $(VENV)/.ready $(SOURCES)
	$(PY) -m pip install -q --no-build-isolation .
	touch $@

build: venv $(VENV)/.built

run: build
	$(PY) scripts/demo.py

cpp-test: deps venv
	$(VENV)/bin/cmake -S . -B build/cpp-tests -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DTALLYFOLD_BUILD_EXTENSION=OFF -DTALLYFOLD_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(VENV)/bin/cmake --build build/cpp-tests
	cd build/cpp-tests && $(abspath $(VENV)/bin/ctest) --output-on-failure

test: build cpp-test
	$(PY) -m pytest -q tests

$(VENV)/.peers: $(VENV)/.ready
	$(PY) -m pip install -q mlxtend pyfim efficient-apriori pandas
	touch $@

bench: build $(VENV)/.peers
	$(PY) bench/bench_pairs.py
	$(PY) bench/bench_eclat.py
	$(PY) bench/bench_pipeline.py
	$(PY) bench/bench_classic.py
	$(PY) bench/bench_allsizes.py

# One extension build serves NumPy 1.26 and 2.x: it is compiled against the NumPy 2 headers,
# which target the older ABI as well, then the suite runs with NumPy 1.26 installed in its
# place (the newest CPython's suite above runs NumPy 2).
$(OLDEST_VENV)/.ready: requirements-dev.txt | deps
	@[ -n "$(OLDEST_BASE_PYTHON)" ] || { echo "no CPython 3.10 found: install one (pyenv install 3.10)"; exit 1; }
	$(OLDEST_BASE_PYTHON) -m venv $(OLDEST_VENV)
	$(OLDEST_PY) -m pip install -q --upgrade pip
	$(OLDEST_PY) -m pip install -q "numpy>=2" -r requirements-dev.txt
	touch $@

$(OLDEST_VENV)/.built: $(OLDEST_VENV)/.ready $(SOURCES)
	$(OLDEST_PY) -m pip install -q "numpy>=2"
	$(OLDEST_PY) -m pip install -q --no-build-isolation .
	$(OLDEST_PY) -m pip install -q "numpy>=1.26,<2"
	touch $@

test-oldest: deps $(OLDEST_VENV)/.built
	@$(OLDEST_PY) -c 'import sys, numpy; print("CPython", sys.version.split()[0], "with NumPy", numpy.__version__)'
	$(OLDEST_PY) -m pytest -q tests

# Debug builds with AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
# The interpreter is not instrumented, so the ASan runtime is preloaded into it, and with it
# the C++ runtime: the interpreter does not link libstdc++, and ASan must find the real
# __cxa_throw when it starts, or the module's first exception aborts. Leak detection is off
# in the interpreter's process only: CPython keeps interned objects and its own arenas until
# exit on purpose, which LeakSanitizer would list by the thousand. The C++ tests run with
# leak detection on. The popcount kernels keep their target_clones: the module is loaded
# after the preloaded runtime has started, so their ifunc resolvers run safely.
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
SANITIZE_DIR := build/sanitize

sanitize: deps venv
	$(VENV)/bin/cmake -S . -B $(SANITIZE_DIR)/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DTALLYFOLD_BUILD_EXTENSION=OFF -DTALLYFOLD_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug \
	  "-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" >/dev/null
	$(VENV)/bin/cmake --build $(SANITIZE_DIR)/cpp
	cd $(SANITIZE_DIR)/cpp && $(abspath $(VENV)/bin/ctest) --output-on-failure
	$(PY) -m pip install -q --no-build-isolation --no-deps --upgrade --target $(SANITIZE_DIR)/site \
	  -C cmake.build-type=Debug -C build-dir=$(SANITIZE_DIR)/py \
	  "-Ccmake.define.CMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)" ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 PYTHONPATH=$(abspath $(SANITIZE_DIR)/site) \
	  $(PY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf build $(VENV) $(OLDEST_VENV)
