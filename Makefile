# make demo  - build and run the main job: orbisect demo, pictures in build/demo
# make test  - build, check the types, run the kernel test program and the
#              Python tests
# make bench - build and run the benchmarks
# make typecheck - check the typed interface (orbisect.pyi) against the built
#                  module, and the Python code under mypy --strict
PYTHON ?= python3.12
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native
# Two compile jobs at most (cmake --build, as scikit-build-core runs it).
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: demo test bench native-test install typecheck clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --upgrade pip

# Build tools live in the venv and the build is not isolated, so that the
# persistent build tree (build/wheel) is reused and only changed sources
# are recompiled.
BUILD_TOOLS := 'scikit-build-core>=0.11' 'cmake>=3.20' ninja

install: $(PY)
	$(PY) -m pip install -q $(BUILD_TOOLS)
	$(PY) -m pip install --no-build-isolation '.[test]'

demo: install
	$(VENV)/bin/orbisect demo --out build/demo

native-test: $(PY)
	$(PY) -m pip install 'cmake>=3.20'
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -DORBISECT_PYTHON_MODULE=OFF -DORBISECT_NATIVE_TESTS=ON
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) -j2
	$(NATIVE_BUILD)/native_tests

test: install native-test typecheck
	cd tests && ../$(PY) -m pytest -q

bench: $(PY)
	$(PY) -m pip install -q $(BUILD_TOOLS)
	$(PY) -m pip install --no-build-isolation '.[bench]'
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

# stubtest imports the installed module and compares the installed stub with
# it; the allowlist says why each entry is there.  typecheck_usage.py is user
# code written the way the README shows: it must pass --strict unchanged.
# mypy comes with the test extra.
typecheck: install
	$(PY) -m mypy.stubtest orbisect --allowlist python/stubtest-allowlist.txt
	$(PY) -m mypy --strict python/orbisect.pyi
	$(PY) -m mypy --strict python/orbisect_detect tests/typecheck_usage.py

clean:
	rm -rf $(VENV) build
