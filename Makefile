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
#   make wheel     build a wheel for each of CPython 3.10-3.13, into dist/ as
#                  auditwheel repairs it for a manylinux tag
#   make test-reach  the public-API tests on 3.10, 3.11 and 3.13, each in a
#                  fresh virtual environment with the wheel installed
#
# Python 3.12 is found by tools/find_python.sh (override with PYTHON=...),
# the other versions by `tools/find_python.sh 3.X`.

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

.PHONY: run test sanitize bench fuzz exactness clean wheel test-reach

run: $(VENV)/.installed
	$(PY) examples/sample_arm_pose.py

test: $(VENV)/.installed $(PROBE_DIR)/.built
	KOVI_PROBE_PATH=$(abspath $(PROBE_DIR))/python $(PY) fuzz/run.py --seconds $(FUZZ_SMOKE_SECONDS) --seed 1
	KOVI_PROBE_PATH=$(abspath $(PROBE_DIR))/python $(PY) -m pytest

bench: $(VENV)/.installed
	$(PY) bench/bench_poe_fk.py
	$(PY) bench/bench_chain.py
	$(PY) bench/bench_robot.py
	$(PY) bench/bench_ik.py --quick

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

# ---- Other Python versions --------------------------------------------------
# The native core builds for 3.12 alone; on the other versions the wheel holds
# the compiled chain and the core's Python source.  Each version's pins are
# its own file: constraints.txt for 3.12, constraints/pyXY.txt for the others
# (numpy, for one, has no release for all four).  The requirements are read
# from pyproject.toml by the 3.12 interpreter, whose tomllib 3.10 lacks.
WHEEL_VERSIONS := 3.10 3.11 3.12 3.13
REACH_VERSIONS := 3.10 3.11 3.13
constraints_for = $(if $(filter 3.12,$(1)),constraints.txt,constraints/py$(subst .,,$(1)).txt)
cp_tag = cp$(subst .,,$(1))
REQUIREMENTS = "$$(tools/find_python.sh)" tools/pyproject_requirements.py
WHEEL_BUILD_DIR := build/wheel
# The public-API tests: the ones that need neither the probe nor the
# native core's internals (those skip off 3.12, with the reason).
REACH_TESTS := tests/test_user_api.py tests/test_chain.py tests/test_kinbody.py \
               tests/test_urdf.py tests/test_cli.py tests/test_reach.py tests/test_robot.py \
               tests/test_ik_analytic.py tests/test_ik_general.py tests/test_ik_numeric.py

# One environment per version to build its wheel in: the build requirements,
# and for 3.12 auditwheel, which checks every version's wheel.
.venv-build-%/.deps: $(CONSTRAINTS) constraints/*.txt pyproject.toml
	@test -x $(@D)/bin/python || { python=$$(tools/find_python.sh $*) && echo "Using $$python" && $$python -m venv $(@D); }
	requirements=$$($(REQUIREMENTS) --constraints $(call constraints_for,$*) \
	        $(if $(filter 3.12,$*),wheel)) && \
	    $(@D)/bin/python -m pip install $(PIP_QUIET) -c $(call constraints_for,$*) $(BUILD_TOOLS) $$requirements
	@touch $@

# The wheel as built (tagged linux_x86_64), then as auditwheel repairs it:
# tagged for the oldest manylinux policy its symbols allow.
$(WHEEL_BUILD_DIR)/.wheel-%: .venv-build-%/.deps .venv-build-3.12/.deps $(SOURCES)
	rm -rf $(WHEEL_BUILD_DIR)/$* && mkdir -p dist
	rm -f dist/kovi-*-$(call cp_tag,$*)-*.whl
	PATH="$(abspath .venv-build-$*)/bin:$$PATH" .venv-build-$*/bin/python -m pip wheel \
	    $(PIP_QUIET) --no-build-isolation --no-deps --config-settings=build-dir=$(WHEEL_BUILD_DIR)/{wheel_tag} \
	    -w $(WHEEL_BUILD_DIR)/$* .
	PATH="$(abspath .venv-build-3.12)/bin:$$PATH" auditwheel repair -w dist $(WHEEL_BUILD_DIR)/$*/kovi-*.whl
	@touch $@

wheel: $(foreach v,$(WHEEL_VERSIONS),$(WHEEL_BUILD_DIR)/.wheel-$(v))
	@ls dist/kovi-*.whl

# A fresh environment each run: the version's wheel from dist/, the pinned
# test tools, and nothing of the checkout but the tests.
reach-%: $(WHEEL_BUILD_DIR)/.wheel-%
	rm -rf .venv-$*
	python=$$(tools/find_python.sh $*) && $$python -m venv .venv-$*
	requirements=$$($(REQUIREMENTS) --constraints $(call constraints_for,$*) --no-build-requires reach) && \
	    .venv-$*/bin/python -m pip install $(PIP_QUIET) -c $(call constraints_for,$*) \
	    $$requirements dist/kovi-*-$(call cp_tag,$*)-*.whl
	.venv-$*/bin/python -m pytest -p no:cacheprovider $(REACH_TESTS)

test-reach: $(foreach v,$(REACH_VERSIONS),reach-$(v))

# Made by pattern rules, yet kept: a later run reuses them.
.PRECIOUS: .venv-build-%/.deps $(WHEEL_BUILD_DIR)/.wheel-%

clean:
	rm -rf build dist $(VENV) $(ASAN_VENV) $(FUZZ_VENV) .venv-build-* $(foreach v,$(REACH_VERSIONS),.venv-$(v))
