# Set-up, build and checks for a fresh Debian machine (run as root).
#   make run    installs what is missing, builds, runs the demo job
#   make test   the same set-up, then the C++ unit tests and the Python test suite
#   make bench  the same set-up plus peer libraries, then the benchmarks

SHELL := /bin/bash
VENV := .venv
PY := $(VENV)/bin/python
APT_PACKAGES := g++ make libtbb-dev libroaring-dev libabsl-dev
# CPython 3.12 or newer when pyenv keeps one (a shim of an unselected version does not run,
# so look at the installed versions themselves), else the default python3.
BASE_PYTHON := $(shell for v in $$(ls -d $$(pyenv root 2>/dev/null)/versions/3.1[2-9]* 2>/dev/null | sort -V -r); do \
    [ -x "$$v/bin/python3" ] && "$$v/bin/python3" -c 'import venv, ensurepip' 2>/dev/null && { echo "$$v/bin/python3"; break; }; done)
ifeq ($(BASE_PYTHON),)
BASE_PYTHON := python3
endif
SOURCES := $(shell find src -type f) CMakeLists.txt pyproject.toml _tallyfold.pyi tallyfold/_engine.pyi \
  $(wildcard tallyfold/*.py tallyfold/py.typed)

.PHONY: run test bench deps venv build cpp-test clean

deps:
	@missing=""; for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; fi

$(VENV)/.ready: | deps
	$(BASE_PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q "numpy>=1.26" "scikit-build-core>=0.8" cmake ninja pytest hypothesis scipy psutil \
	  pandas narwhals pyarrow polars tqdm mlxtend
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
	$(PY) bench/bench_pipeline.py
	$(PY) bench/bench_classic.py
	$(PY) bench/bench_allsizes.py

clean:
	rm -rf build $(VENV)
