# `make test` and `make demo` do all set-up on a fresh machine: system
# packages, a .venv with the build and test tools, then the build itself.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CPP_BUILD := build/cpp
JOBS ?= $(shell nproc)

.PHONY: test demo deps venv cpp-build cpp-test py-install py-test clean

test: cpp-test py-test

demo: py-install
	$(VPY) examples/quickstart.py

deps:
	@scripts/install-system-deps.sh

$(VENV)/.stamp: requirements-dev.txt
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q -r requirements-dev.txt
	touch $@

venv: deps $(VENV)/.stamp

cpp-build: venv
	$(CMAKE) -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DVOK_BUILD_TESTS=ON -DVOK_BUILD_PYTHON=OFF >/dev/null
	$(CMAKE) --build $(CPP_BUILD) -j $(JOBS)

cpp-test: cpp-build
	cd $(CPP_BUILD) && $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

py-install: venv
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m pip install -q --no-build-isolation --no-deps .

py-test: py-install
	$(VPY) -m pytest tests/python -q

clean:
	rm -rf build
