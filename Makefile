# The two entry points of the README: `make demo` and `make test`. Each one
# installs what it needs first.
PYTHON ?= python3
BUILD ?= build/cpp

.PHONY: setup install cpp-test py-test test demo bench clean

setup:
	PYTHON=$(PYTHON) scripts/setup

install: setup
	$(PYTHON) -m pip install --quiet --no-build-isolation .

cpp-test: setup
	cmake -S . -B $(BUILD) -G Ninja -DKORVANE_PYTHON=OFF -DKORVANE_TESTS=ON
	cmake --build $(BUILD)
	ctest --test-dir $(BUILD) --output-on-failure

py-test: install
	$(PYTHON) -m pytest -q tests

test: cpp-test py-test

demo: install
	$(PYTHON) examples/demo.py

bench: install
	cmake -S . -B build/bench -G Ninja -DKORVANE_PYTHON=OFF -DKORVANE_BENCH=ON
	cmake --build build/bench
	build/bench/bench/bench_kernel 20000
	$(PYTHON) bench/bench_encode.py
	$(PYTHON) bench/bench_search.py

clean:
	rm -rf build
