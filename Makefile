# Developer entry points. `make test` and `make demo` work on a fresh machine:
# they bootstrap CPython 3.14 and a virtual environment first.
SHELL := /bin/bash
.ONESHELL:
.SHELLFLAGS := -eu -o pipefail -c

VENV    := .venv
VENV313 := .venv313
VENVFT  := .venv-ft
PYFT    := $(VENVFT)/bin/python
VENVTSAN := .venv-tsan
PY      := $(VENV)/bin/python
BUILD   := build
LOCK    := flock $(BUILD)/.lock
PYTEST_ARGS ?=

.PHONY: all toolchain venv install build build-313 build-debug build-asan test test-314 test-313 \
        build-ft test-ft tsan chromium refleak asan demo bench bench-ft format check-format clean

all: build

$(VENV)/.stamp: requirements-dev.txt tools/bootstrap-python
	py=$$(tools/bootstrap-python | tail -n 1)
	rm -rf $(VENV)
	"$$py" -m venv --without-pip $(VENV)
	if ! $(PY) -m pip --version >/dev/null 2>&1; then
	  wheel=$$(ls "$$(dirname "$$py")"/../share/python-wheels/pip-*.whl 2>/dev/null | head -n 1 || true)
	  if [ -n "$$wheel" ]; then $(PY) "$$wheel/pip" install -q --no-index "$$wheel"; else $(PY) -m ensurepip -q; fi
	fi
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	touch $@

venv: $(VENV)/.stamp

# Editable install into the venv: `.venv/bin/flowmesh` and `import flowmesh`
# work without PYTHONPATH, and keep loading the in-place build.
$(VENV)/.installed: $(VENV)/.stamp pyproject.toml tools/install-dev
	$(PY) tools/install-dev >/dev/null
	touch $@

install: $(VENV)/.installed

# In-place build: modules land next to their sources, so tests run from src/.
build: $(VENV)/.stamp
	mkdir -p $(BUILD)
	$(LOCK) bash -c '$(VENV)/bin/cmake -S . -B $(BUILD)/py314 -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DFLOWMESH_INPLACE=ON -DCMAKE_BUILD_TYPE=$${BUILD_TYPE:-Release} >/dev/null \
	  && $(VENV)/bin/cmake --build $(BUILD)/py314'

# Debian's chromium for the browser tests, installed only when missing; without
# it (no root, no apt) those tests are skipped and say so.
chromium:
	tools/ensure-chromium >/dev/null || echo "chromium unavailable: the browser tests will be skipped" >&2

test-314: build install chromium
	PYTHONPATH=src $(PY) -m pytest $(PYTEST_ARGS)

# 3.13 is the oldest supported version; skipped quietly where the machine has none.
build-313: $(VENV)/.stamp
	py313=$$(tools/find-python313)
	if [ -z "$$py313" ]; then echo "python3.13 not found; skipping 3.13"; exit 0; fi
	if [ ! -x $(VENV313)/bin/python ] || [ requirements-dev.txt -nt $(VENV313)/.stamp ]; then
	  rm -rf $(VENV313); "$$py313" -m venv $(VENV313)
	  $(VENV313)/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
	  touch $(VENV313)/.stamp
	fi
	if [ ! -e $(VENV313)/.installed ] || [ pyproject.toml -nt $(VENV313)/.installed ] || \
	   [ tools/install-dev -nt $(VENV313)/.installed ]; then
	  $(VENV313)/bin/python tools/install-dev >/dev/null && touch $(VENV313)/.installed
	fi
	mkdir -p $(BUILD)
	$(LOCK) bash -c '$(VENV)/bin/cmake -S . -B $(BUILD)/py313 -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENV313)/bin/python -DFLOWMESH_INPLACE=ON >/dev/null \
	  && $(VENV)/bin/cmake --build $(BUILD)/py313'

test-313: build-313 chromium
	if [ -x $(VENV313)/bin/python ] && [ -n "$$(tools/find-python313)" ]; then
	  PYTHONPATH=src $(VENV313)/bin/python -m pytest $(PYTEST_ARGS)
	fi

test: test-314 test-313

# Free-threaded CPython (no GIL), built once into ~/.cache/flowmesh by
# tools/bootstrap-python-ft; its own venv, pins (requirements-ft.txt: only
# packages with wheels for it) and build directory. The modules it builds
# carry the `t` ABI tag, so they sit beside the others in src/.
$(VENVFT)/.stamp: requirements-ft.txt tools/bootstrap-python-ft
	py=$$(tools/bootstrap-python-ft | tail -n 1)
	rm -rf $(VENVFT)
	"$$py" -m venv $(VENVFT)
	$(PYFT) -m pip install -q --disable-pip-version-check --only-binary=:all: -r requirements-ft.txt
	touch $@

build-ft: $(VENVFT)/.stamp
	mkdir -p $(BUILD)
	$(LOCK) bash -c '$(VENVFT)/bin/cmake -S . -B $(BUILD)/ft -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENVFT)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PYFT) -DFLOWMESH_INPLACE=ON -DCMAKE_BUILD_TYPE=$${BUILD_TYPE:-Release} >/dev/null \
	  && $(VENVFT)/bin/cmake --build $(BUILD)/ft'

test-ft: build-ft chromium
	PYTHONPATH=src $(PYFT) -m pytest $(PYTEST_ARGS)

# The modules built with ThreadSanitizer, loaded by a free-threaded interpreter
# built with it (FLOWMESH_TSAN=1 tools/bootstrap-python-ft), from a package
# root of their own; its venv holds only what these tests import. A race
# reported anywhere makes the run fail (TSan's exit code); tools/tsan.supp
# names the reports that are not ours.
TSAN_TESTS ?= tests/test_stress.py tests/test_concurrency.py tests/test_hostile.py tests/test_free_threading.py
tsan:
	py=$$(FLOWMESH_TSAN=1 tools/bootstrap-python-ft | tail -n 1)
	mkdir -p $(BUILD)
	if [ ! -x $(VENVTSAN)/bin/python ] || [ requirements-ft.txt -nt $(VENVTSAN)/.stamp ] || \
	   [ "$$(readlink -f $(VENVTSAN)/bin/python)" != "$$(readlink -f "$$py")" ]; then
	  rm -rf $(VENVTSAN); "$$py" -m venv $(VENVTSAN)
	  grep -E '^(pytest|pytest-timeout|hypothesis|cmake|ninja)==' requirements-ft.txt >$(BUILD)/tsan-pins.txt
	  $(VENVTSAN)/bin/python -m pip install -q --disable-pip-version-check -r $(BUILD)/tsan-pins.txt
	  touch $(VENVTSAN)/.stamp
	fi
	$(LOCK) bash -c '$(VENVTSAN)/bin/cmake -S . -B $(BUILD)/tsan -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENVTSAN)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VENVTSAN)/bin/python -DFLOWMESH_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
	  && $(VENVTSAN)/bin/cmake --build $(BUILD)/tsan'
	rm -rf $(BUILD)/tsan-pkg && cp -r src/flowmesh $(BUILD)/tsan-pkg && find $(BUILD)/tsan-pkg -name '*.so' -delete
	cp $(BUILD)/tsan/*.so $(BUILD)/tsan-pkg/imp/
	mkdir -p $(BUILD)/tsan-root && rm -rf $(BUILD)/tsan-root/flowmesh && mv $(BUILD)/tsan-pkg $(BUILD)/tsan-root/flowmesh
	TSAN_OPTIONS="suppressions=$(CURDIR)/tools/tsan.supp second_deadlock_stack=1 $${TSAN_OPTIONS:-}" \
	  PYTHONPATH=$(BUILD)/tsan-root $(VENVTSAN)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS) $(TSAN_TESTS)

# Debug interpreter (python3.14d) build and a reference-leak loop.
build-debug: $(VENV)/.stamp
	pyd=$$(WANT_DEBUG=1 FLOWMESH_IGNORE_PATH_PYTHON=1 tools/bootstrap-python | tail -n 1 | sed 's/python3.14$$/python3.14d/')
	mkdir -p $(BUILD)
	$(LOCK) bash -c "$(VENV)/bin/cmake -S . -B $(BUILD)/py314d -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$$pyd -DFLOWMESH_INPLACE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null \
	  && $(VENV)/bin/cmake --build $(BUILD)/py314d"

refleak: build-debug
	pyd=$$(WANT_DEBUG=1 FLOWMESH_IGNORE_PATH_PYTHON=1 tools/bootstrap-python | tail -n 1 | sed 's/python3.14$$/python3.14d/')
	PYTHONPATH=src "$$pyd" tools/refleak.py

# ASan/UBSan build in a separate directory, run with the sanitizer runtime preloaded.
asan: $(VENV)/.stamp
	mkdir -p $(BUILD)/asan-out
	$(LOCK) bash -c '$(VENV)/bin/cmake -S . -B $(BUILD)/asan -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) -DFLOWMESH_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null \
	  && $(VENV)/bin/cmake --build $(BUILD)/asan'
	rm -rf $(BUILD)/asan-pkg && cp -r src/flowmesh $(BUILD)/asan-pkg && find $(BUILD)/asan-pkg -name '*.so' -delete
	cp $(BUILD)/asan/*.so $(BUILD)/asan-pkg/imp/
	mkdir -p $(BUILD)/asan-root && rm -rf $(BUILD)/asan-root/flowmesh && mv $(BUILD)/asan-pkg $(BUILD)/asan-root/flowmesh
	PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  PYTHONPATH=$(BUILD)/asan-root $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

demo: build install
	$(VENV)/bin/flowmesh demo

# BENCH_JSON=path also writes the table as JSON (compare two with bench/run.py --compare).
bench: build
	PYTHONPATH=src $(PY) bench/run.py $(if $(BENCH_JSON),--json $(BENCH_JSON))
	PYTHONPATH=src $(PY) bench/lsl_latency.py
	PYTHONPATH=src $(PY) bench/decoding.py
	PYTHONPATH=src $(PY) bench/recording.py

# bench/parallel.py on the GIL build of 3.13 and on the free-threaded one, then
# the two side by side (3.14's GIL build stands in where 3.13 is missing).
bench-ft: build-ft build-313
	mkdir -p $(BUILD)
	gil=$(VENV313)/bin/python
	if [ ! -x "$$gil" ]; then gil=$(PY); echo "no 3.13 GIL build: comparing with $$($$gil -V)"; fi
	PYTHONPATH=src "$$gil" bench/parallel.py --json $(BUILD)/parallel-gil.json
	PYTHONPATH=src $(PYFT) bench/parallel.py --json $(BUILD)/parallel-ft.json
	PYTHONPATH=src $(PYFT) bench/parallel.py --compare $(BUILD)/parallel-gil.json $(BUILD)/parallel-ft.json

CXX_SOURCES = src/flowmesh/imp/*.cpp src/flowmesh/imp/*.hpp
PY_SOURCES  = src tests bench tools examples

# Applies both formatters and the linter's safe fixes.
format: $(VENV)/.stamp
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/ruff format -q $(PY_SOURCES)
	$(VENV)/bin/ruff check -q --fix $(PY_SOURCES)

# Fails on any formatting difference or lint finding (CI runs it).
check-format: $(VENV)/.stamp
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff format -q --check $(PY_SOURCES)
	$(VENV)/bin/ruff check -q $(PY_SOURCES)

clean:
	rm -rf $(BUILD) src/flowmesh/imp/*.so
