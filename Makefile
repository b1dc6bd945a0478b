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
BUILD_TOOLS := "scikit-build-core>=0.10" cmake ninja
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: demo test system-deps venv wheel install test-python test-oldest-python test-cpp bench clean

demo: install
	$(VPY) examples/demo.py

test: install test-cpp test-python test-oldest-python test-fuzz test-notary-fuzz

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

# Builds the abi3 wheel and checks that nothing outside the stable ABI slipped in.
wheel: venv
	rm -rf $(DIST)
	$(VPY) -m pip wheel . --no-build-isolation --no-deps -w $(DIST)
	$(VPY) -m pip install -q abi3audit
	$(VENV)/bin/abi3audit --strict --report $(DIST)/tvel_oxa-*.whl

install: wheel
	wheel=$$(ls $(DIST)/tvel_oxa-*.whl)
	$(VPY) -m pip install -q "$$wheel[test,bench]"
	$(VPY) -m pip install -q --force-reinstall --no-deps "$$wheel"

test-python: install
	$(VPY) -m pytest tests/python

# The one abi3 wheel must also load and pass in the oldest supported Python,
# where such an interpreter is on the machine.
OLDEST_PYTHON ?= $(shell for p in python3.9 $$(ls -d $$HOME/.pyenv/versions/3.9*/bin/python3.9 2>/dev/null); do \
  "$$p" -c 'import sys; assert sys.version_info[:2] == (3, 9)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)
test-oldest-python: install
	if [ -z "$(OLDEST_PYTHON)" ]; then echo "No python3.9 here: skipping the run under the oldest Python."; exit 0; fi
	$(OLDEST_PYTHON) -m venv $(VENV)-py39
	wheel=$$(ls $(DIST)/tvel_oxa-*.whl)
	$(VENV)-py39/bin/python -m pip install -q "$$wheel[test]"
	$(VENV)-py39/bin/python -m pip install -q --force-reinstall --no-deps "$$wheel"
	$(VENV)-py39/bin/python -m pytest -p no:cacheprovider tests/python

test-cpp: venv
	$(VENV)/bin/cmake -S . -B $(CPP_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DTVEL_OXA_BUILD_MODULE=OFF -DTVEL_OXA_BUILD_TESTS=ON
	$(VENV)/bin/cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

bench: install bench-verify bench-notary
	$(VENV)/bin/cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	  -DTVEL_OXA_BUILD_MODULE=OFF -DTVEL_OXA_BUILD_BENCH=ON
	$(VENV)/bin/cmake --build $(BENCH_BUILD)
	for b in $(BENCH_BUILD)/bench/*_bench; do $$b; done
	$(VPY) bench/capture_bench.py

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
	rm -rf build $(DIST) $(VENV) $(VENV)-py39

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
