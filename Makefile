# make demo  - build and run the main job: orbisect demo, pictures in build/demo
# make test  - build, check the types, run the kernel test program, the
#              result corpus and the Python tests, then the kernels and the
#              detection core built for aarch64 under emulation (test-arm),
#              then the tests again built with the sanitizers
# make test-arm - the kernel test program (the detection core's tests at
#              every level) and the result corpus built for 64-bit ARM and
#              run under qemu-aarch64, at every level
# make corpus-hashes - store the result corpus's digests (on x86-64 only,
#              after an intended change of results)
# make bench - build and run the benchmarks
# make typecheck - check the typed interface (orbisect.pyi) against the built
#                  module, and the Python code under mypy --strict
# make sanitize - build the module and the kernel test program with
#                 AddressSanitizer and UBSan and run every test against them
# make fuzz  - the property tests with the long profile (2000 examples per
#              property and kernel; FUZZ_EXAMPLES=n to change it): the kernels'
#              and the detector layer's (frames, settings, windows files)
PYTHON ?= python3.12
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_BUILD := build/native
ARM_BUILD := build/arm
CORPUS_HASHES := tests/corpus/corpus.hashes
SANITIZE_BUILD := build/sanitize
# The sanitized module is built here and put first on the import path.
SANITIZE_MODULE := $(CURDIR)/$(SANITIZE_BUILD)/python
# Two compile jobs at most (cmake --build, as scikit-build-core runs it).
export CMAKE_BUILD_PARALLEL_LEVEL ?= 2

.PHONY: demo test test-arm corpus-hashes bench native-test native-test-build install typecheck clean sanitize sanitize-build sanitized-tests fuzz browser-deps

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

native-test-build: $(PY)
	$(PY) -m pip install 'cmake>=3.20'
	$(VENV)/bin/cmake -S . -B $(NATIVE_BUILD) -DORBISECT_PYTHON_MODULE=OFF -DORBISECT_NATIVE_TESTS=ON \
	    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
	$(VENV)/bin/cmake --build $(NATIVE_BUILD) -j2

native-test: native-test-build
	tests/scripts/check-fp-contract.sh $(NATIVE_BUILD) objdump
	$(NATIVE_BUILD)/native_tests
	@# The detection core takes the kernels through their dispatch: its
	@# tests and its corpus cases run once per level.
	for level in $$($(NATIVE_BUILD)/corpus --levels); do \
	    ORBISECT_MAX_LEVEL=$$level $(NATIVE_BUILD)/native_tests --suite detect || exit 1; \
	    ORBISECT_MAX_LEVEL=$$level $(NATIVE_BUILD)/corpus --check $(CORPUS_HASHES) || exit 1; \
	done
	@# glibc picks other code for its maths functions on x86-64 processors
	@# without FMA, whose last bits differ: the corpus as such a machine runs it.
	if [ "$$(uname -m)" = x86_64 ]; then \
	    echo "corpus with glibc's maths as without FMA:"; \
	    GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA ORBISECT_MAX_LEVEL=x86-64 \
	        $(NATIVE_BUILD)/corpus --check $(CORPUS_HASHES) || exit 1; \
	fi
	@# The check itself: one bit of one stored digest changed must fail it.
	awk '$$1 == "simple_edge_hsv" { h = "0123456789abcdef"; i = index(h, substr($$2, 16, 1)) - 1; \
	    $$2 = substr($$2, 1, 15) substr(h, (i % 2 ? i - 1 : i + 1) + 1, 1) } { print }' \
	    $(CORPUS_HASHES) > $(NATIVE_BUILD)/flipped.hashes
	! $(NATIVE_BUILD)/corpus --check $(NATIVE_BUILD)/flipped.hashes > $(NATIVE_BUILD)/flipped.out
	grep -q '^FAIL simple_edge_hsv ' $(NATIVE_BUILD)/flipped.out

# The digests the corpus must reproduce everywhere, taken on x86-64.
corpus-hashes: native-test-build
	@test "$$(uname -m)" = x86_64 || { echo "corpus-hashes: the digests are taken on x86-64"; exit 1; }
	{ echo "# Digests of tests/corpus (FNV-1a 64 of each case's results), taken on x86-64;"; \
	  echo "# every level of every architecture must give them.  Regenerate: make corpus-hashes"; \
	  $(NATIVE_BUILD)/corpus; } > $(CORPUS_HASHES).new
	mv $(CORPUS_HASHES).new $(CORPUS_HASHES)
	cat $(CORPUS_HASHES)

# The kernels for aarch64, under emulation (see tests/scripts/test-arm.sh).
test-arm: $(PY)
	$(PY) -m pip install -q 'cmake>=3.20'
	tests/scripts/test-arm.sh $(VENV)/bin/cmake $(ARM_BUILD)

# The browser tests of the live page drive Debian's headless Chromium with
# Selenium.  Installed here when missing and when we are root (CI is);
# elsewhere those tests, and only those, are skipped with a loud message.
browser-deps:
	@if command -v chromium >/dev/null 2>&1 && command -v chromedriver >/dev/null 2>&1; then \
	    :; \
	elif [ "$$(id -u)" = 0 ] && command -v apt-get >/dev/null 2>&1; then \
	    echo "installing chromium and chromium-driver for the browser tests"; mkdir -p build; \
	    (apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
	        chromium chromium-driver) >build/apt-browser.log 2>&1 \
	    || echo "*** could not install chromium (see build/apt-browser.log): the browser tests will be skipped ***"; \
	else \
	    echo "*** chromium and chromium-driver are missing and cannot be installed here (not root):"; \
	    echo "*** the browser tests will be skipped (apt-get install chromium chromium-driver) ***"; \
	fi

# The sanitizer run comes even when the plain run fails: its report is the
# one that says what went wrong.
test: install native-test typecheck browser-deps
	(cd tests && ../$(PY) -m pytest -q); status=$$?; \
	$(MAKE) --no-print-directory test-arm || status=1; \
	$(MAKE) --no-print-directory sanitized-tests && exit $$status

# The interpreter is not instrumented, so the sanitizer runtime is preloaded
# into it and leak detection is off (the interpreter keeps its own
# allocations to the end).  Python objects go through malloc so that the
# sanitizer sees them too.  A sanitizer error aborts the process, so the
# interpreter's fault handler names the test; the property tests write each
# kernel call to LAST_CALL before making it.  pytest captures only Python's
# own output (--capture=sys), so that the sanitizer's report reaches the
# terminal.  ORBISECT_EXPECT_MODULE makes the session refuse to run against
# any other build of the module.
ASAN_RUNTIME = $(shell $(CXX) -print-file-name=libasan.so)
LAST_CALL := $(CURDIR)/$(SANITIZE_BUILD)/last-call.txt
SANITIZE_OPTIONS = ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
SANITIZE_ENV = LD_PRELOAD=$(ASAN_RUNTIME) $(SANITIZE_OPTIONS) \
	PYTHONMALLOC=malloc PYTHONPATH=$(SANITIZE_MODULE) \
	ORBISECT_EXPECT_MODULE=$(SANITIZE_MODULE) ORBISECT_TRACE_CALLS=$(LAST_CALL)
SANITIZE_PYTEST = cd tests && $(SANITIZE_ENV) ../$(PY) -m pytest -q --capture=sys
SHOW_LAST_CALL = { echo "last kernel call of the property tests:"; cat $(LAST_CALL) 2>/dev/null; exit 1; }

sanitize: install
	$(MAKE) --no-print-directory sanitized-tests

# Both targets below expect the venv to be installed.  The sanitized
# orbisect_detect is the package's sources beside its sanitized _core.
sanitize-build:
	$(VENV)/bin/cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_CXX_COMPILER=$(CXX) \
	    -DORBISECT_SANITIZE=ON -DORBISECT_NATIVE_TESTS=ON \
	    -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
	    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$(SANITIZE_MODULE)
	$(VENV)/bin/cmake --build $(SANITIZE_BUILD) -j2
	mkdir -p $(SANITIZE_MODULE)/orbisect_detect
	cp -R python/orbisect_detect/. $(SANITIZE_MODULE)/orbisect_detect/

sanitized-tests: sanitize-build
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(SANITIZE_BUILD)/native_tests
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 $(SANITIZE_BUILD)/corpus --check $(CORPUS_HASHES)
	rm -f $(LAST_CALL)
	$(SANITIZE_PYTEST) || $(SHOW_LAST_CALL)

# The property tests with the long profile.  FUZZ_SANITIZED=0 fuzzes the
# installed (uninstrumented) module instead: faster, and Hypothesis can
# shrink a failure that does not stop the process.
FUZZ_SANITIZED ?= 1
FUZZ_TESTS := test_properties.py test_layer_properties.py
fuzz: export HYPOTHESIS_PROFILE := fuzz
fuzz: install
ifeq ($(FUZZ_SANITIZED),1)
	$(MAKE) --no-print-directory sanitize-build
	rm -f $(LAST_CALL)
	$(SANITIZE_PYTEST) $(FUZZ_TESTS) || $(SHOW_LAST_CALL)
else
	cd tests && ../$(PY) -m pytest -q $(FUZZ_TESTS)
endif

bench: $(PY)
	$(PY) -m pip install -q $(BUILD_TOOLS)
	$(PY) -m pip install --no-build-isolation '.[bench,dask,video,live]'
	for b in bench/bench_*.py; do $(PY) $$b || exit 1; done

# stubtest imports the installed module and compares the installed stub with
# it; the allowlist says why each entry is there.  typecheck_usage.py is user
# code written the way the README shows: it must pass --strict unchanged.
# mypy comes with the test extra.
typecheck: install
	$(PY) -m mypy.stubtest orbisect --allowlist python/stubtest-allowlist.txt
	$(PY) -m mypy.stubtest orbisect_detect._core
	$(PY) -m mypy --strict python/orbisect.pyi
	$(PY) -m mypy --strict python/orbisect_detect tests/typecheck_usage.py

clean:
	rm -rf $(VENV) build
