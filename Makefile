# Set-up, build and test of kovi's native forward kinematics.
#
#   make run       build, then print the sample arm's pose and the time per call
#   make test      build, then run the test suite (what CI runs)
#   make sanitize  build with AddressSanitizer + UBSan and run the suite under them
#   make bench     build, then compare the native module with its peers
#   make fuzz      run each fuzz target (or those named in FUZZ_TARGETS) for
#                  FUZZ_SECONDS under a clang build with the sanitizers and
#                  libFuzzer's coverage
#   make exactness check the pose arithmetic's bits across compilers and targets
#
# Python 3.12 is found by tools/find_python.sh (override with PYTHON=...).

VENV        := .venv
PY          := $(VENV)/bin/python
ASAN_VENV   := .venv-asan
ASAN_PY     := $(ASAN_VENV)/bin/python
PROBE_DIR   := build/probe
ASAN_PROBE_DIR := build/probe-asan
FUZZ_VENV   := .venv-fuzz
FUZZ_PY     := $(FUZZ_VENV)/bin/python
FUZZ_PROBE_DIR := build/probe-fuzz
# Seconds per fuzz target: FUZZ_SECONDS for `make fuzz`, FUZZ_SMOKE_SECONDS
# for the brief run of each target in `make test`.
FUZZ_SECONDS ?= 180
FUZZ_SMOKE_SECONDS ?= 4
# The targets `make fuzz` runs, by name (fuzz/fuzz_<name>.py); empty for all.
FUZZ_TARGETS ?=
FUZZ_CXX    := clang++-14
# Every version installed is pinned by constraints.txt.  The requirements
# are pyproject.toml's (build system, dependencies and each environment's
# extras); CMake and Ninja come from PyPI too, so the build needs nothing
# but Python 3.12 and a C++ compiler on the machine.
CONSTRAINTS := constraints.txt
BUILD_TOOLS := cmake ninja
PIP_QUIET   := --quiet --disable-pip-version-check
# Commands run with a virtual environment's tools (cmake, ninja) first on PATH.
IN_VENV      = PATH="$(abspath $(VENV))/bin:$$PATH"
IN_ASAN_VENV = PATH="$(abspath $(ASAN_VENV))/bin:$$PATH"
IN_FUZZ_VENV = PATH="$(abspath $(FUZZ_VENV))/bin:$$PATH"
SOURCES     := $(shell find src runtime tools tests/native -type f 2>/dev/null) CMakeLists.txt pyproject.toml

.PHONY: run test sanitize bench fuzz exactness clean

run: $(VENV)/.installed
	$(PY) examples/sample_arm_pose.py

test: $(VENV)/.installed $(PROBE_DIR)/.built
	KOVI_PROBE_PATH=$(abspath $(PROBE_DIR))/python $(PY) fuzz/run.py --seconds $(FUZZ_SMOKE_SECONDS) --seed 1
	KOVI_PROBE_PATH=$(abspath $(PROBE_DIR))/python $(PY) -m pytest

bench: $(VENV)/.installed
	$(PY) bench/bench_poe_fk.py
	$(PY) bench/bench_chain.py

# One virtual environment per build flavour; each is made with the Python
# that find_python.sh picks, and gets the build tools and its extras.
EXTRAS      := test fuzz
%/.deps: $(CONSTRAINTS) pyproject.toml
	@test -x $*/bin/python || { python=$$(tools/find_python.sh) && echo "Using $$python" && $$python -m venv $*; }
	requirements=$$($*/bin/python tools/pyproject_requirements.py --constraints $(CONSTRAINTS) $(EXTRAS)) && \
	    $*/bin/python -m pip install $(PIP_QUIET) -c $(CONSTRAINTS) $(BUILD_TOOLS) $$requirements
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

# The sanitizer runtime to preload is the one of the compiler that CMake
# used; its configuration writes the paths into the build tree.
sanitize: $(ASAN_VENV)/.deps
	$(IN_ASAN_VENV) $(ASAN_PY) -m pip install $(PIP_QUIET) --no-build-isolation --no-deps \
	    -C build-dir=build/asan -C cmake.build-type=Debug -C cmake.define.KOVI_SANITIZE=ON .
	$(IN_ASAN_VENV) cmake -S . -B $(ASAN_PROBE_DIR) -G Ninja \
	    -DCMAKE_BUILD_TYPE=Debug -DKOVI_SANITIZE=ON -DKOVI_BUILD_MODULE=OFF -DKOVI_BUILD_PROBE=ON \
	    -DPython_EXECUTABLE=$(abspath $(ASAN_PY))
	$(IN_ASAN_VENV) cmake --build $(ASAN_PROBE_DIR)
	LD_PRELOAD=$$(cat $(ASAN_PROBE_DIR)/sanitizer_runtime.txt) ASAN_OPTIONS=detect_leaks=0 \
	    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    KOVI_PROBE_PATH=$(abspath $(ASAN_PROBE_DIR))/python $(ASAN_PY) -m pytest

# The fuzzing build: the module and the probe compiled by clang with the
# sanitizers and libFuzzer's coverage instrumentation.  fuzz/run.py preloads
# the sanitizer runtime with libFuzzer linked in that atheris ships.
$(FUZZ_VENV)/.installed: $(FUZZ_VENV)/.deps $(SOURCES)
	tools/need_debian_packages.sh clang-14 libclang-rt-14-dev
	$(IN_FUZZ_VENV) CXX=$(FUZZ_CXX) $(FUZZ_PY) -m pip install $(PIP_QUIET) --no-build-isolation --no-deps \
	    -C build-dir=build/fuzz -C cmake.build-type=Debug \
	    -C cmake.define.KOVI_SANITIZE=ON -C cmake.define.KOVI_FUZZ=ON .
	@touch $@

$(FUZZ_PROBE_DIR)/.built: $(FUZZ_VENV)/.deps $(SOURCES)
	tools/need_debian_packages.sh clang-14 libclang-rt-14-dev
	$(IN_FUZZ_VENV) cmake -S . -B $(FUZZ_PROBE_DIR) -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) \
	    -DCMAKE_BUILD_TYPE=Debug -DKOVI_SANITIZE=ON -DKOVI_FUZZ=ON \
	    -DKOVI_BUILD_MODULE=OFF -DKOVI_BUILD_PROBE=ON -DPython_EXECUTABLE=$(abspath $(FUZZ_PY))
	$(IN_FUZZ_VENV) cmake --build $(FUZZ_PROBE_DIR)
	@touch $@

fuzz: $(FUZZ_VENV)/.installed $(FUZZ_PROBE_DIR)/.built
	KOVI_PROBE_PATH=$(abspath $(FUZZ_PROBE_DIR))/python $(FUZZ_PY) fuzz/run.py --sanitized \
	    --seconds $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Not part of `make test`: the cross compiler and qemu take longer to
# install than the check takes to run (see exactness/README.md).
exactness: $(VENV)/.deps
	tools/need_debian_packages.sh g++ clang-14 g++-aarch64-linux-gnu qemu-user
	$(PY) exactness/check.py

clean:
	rm -rf build $(VENV) $(ASAN_VENV) $(FUZZ_VENV)
