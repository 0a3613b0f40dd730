# Set-up, build and test of kovi's native forward kinematics.
#
#   make run       build, then print the sample arm's pose and the time per call
#   make test      build, then run the test suite (what CI runs)
#   make sanitize  build with AddressSanitizer + UBSan and run the suite under them
#   make bench     build, then compare the native module with its peers
#
# Python 3.12 is found by tools/find_python.sh (override with PYTHON=...).

VENV        := .venv
PY          := $(VENV)/bin/python
ASAN_VENV   := .venv-asan
ASAN_PY     := $(ASAN_VENV)/bin/python
PROBE_DIR   := build/probe
ASAN_PROBE_DIR := build/probe-asan
# CMake and Ninja come from PyPI too, so the build needs nothing but Python
# 3.12 and a C++ compiler on the machine.
BUILD_DEPS  := numpy pytest scikit-build-core cmake ninja nanobind
# The tests' checkers and peers: pyproject's 'test' extra beyond pytest;
# the tests that need one skip without it.
TEST_DEPS   := mypy matplotlib roboticstoolbox-python pin example-robot-data "dask[distributed]"
PIP_QUIET   := --quiet --disable-pip-version-check
# Commands run with a virtual environment's tools (cmake, ninja) first on PATH.
IN_VENV      = PATH="$(abspath $(VENV))/bin:$$PATH"
IN_ASAN_VENV = PATH="$(abspath $(ASAN_VENV))/bin:$$PATH"
SOURCES     := $(shell find src runtime tools tests/native -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: run test sanitize bench clean

run: $(VENV)/.installed
	$(PY) examples/sample_arm_pose.py

test: $(VENV)/.installed $(PROBE_DIR)/.built $(VENV)/.test-deps
	KOVI_PROBE_PATH=$(abspath $(PROBE_DIR))/python $(PY) -m pytest

bench: $(VENV)/.installed
	$(PY) bench/bench_poe_fk.py
	$(PY) bench/bench_chain.py

# One virtual environment per build flavour; each is made with the Python
# that find_python.sh picks, and gets the build and test tools.
%/.deps:
	@python=$$(tools/find_python.sh) && echo "Using $$python" && $$python -m venv $*
	$*/bin/python -m pip install $(PIP_QUIET) $(BUILD_DEPS)
	@touch $@

$(VENV)/.test-deps: $(VENV)/.deps
	$(PY) -m pip install $(PIP_QUIET) $(TEST_DEPS)
	@touch $@

$(VENV)/.installed: $(VENV)/.deps $(SOURCES)
	$(IN_VENV) $(PY) -m pip install $(PIP_QUIET) --no-build-isolation --no-deps .
	@touch $@

# The probe extension exposes runtime internals to the tests; it is built
# beside the package, never installed.
$(PROBE_DIR)/.built: $(VENV)/.deps $(SOURCES)
	$(IN_VENV) cmake -S . -B $(PROBE_DIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Release -DKOVI_BUILD_MODULE=OFF -DKOVI_BUILD_PROBE=ON \
	    -DPython_EXECUTABLE=$(abspath $(PY))
	$(IN_VENV) cmake --build $(PROBE_DIR)
	@touch $@

ASAN_RUNTIME = $(shell g++ -print-file-name=libasan.so):$(shell g++ -print-file-name=libubsan.so)

sanitize: $(ASAN_VENV)/.deps
	$(IN_ASAN_VENV) $(ASAN_PY) -m pip install $(PIP_QUIET) --no-build-isolation --no-deps \
	    -C build-dir=build/asan -C cmake.build-type=Debug -C cmake.define.KOVI_SANITIZE=ON .
	$(IN_ASAN_VENV) cmake -S . -B $(ASAN_PROBE_DIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Debug -DKOVI_SANITIZE=ON -DKOVI_BUILD_MODULE=OFF -DKOVI_BUILD_PROBE=ON \
	    -DPython_EXECUTABLE=$(abspath $(ASAN_PY))
	$(IN_ASAN_VENV) cmake --build $(ASAN_PROBE_DIR)
	LD_PRELOAD=$(ASAN_RUNTIME) ASAN_OPTIONS=detect_leaks=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    KOVI_PROBE_PATH=$(abspath $(ASAN_PROBE_DIR))/python $(ASAN_PY) -m pytest

clean:
	rm -rf build $(VENV) $(ASAN_VENV)
