# The two entry points of the README: `make demo` and `make test`. Each one
# installs what it needs first.
PYTHON ?= python3
BUILD ?= build/cpp
# The tests run with a temporary directory of their own, which must be empty
# again when they end (scripts/no-litter). pytest keeps its tmp_path
# directories under build/ instead, where its next run clears them.
TEST_TMP ?= build/test-tmp
# A warning in our own code fails the test, sanitizer and fuzz builds (and
# CI); make demo and make bench build with warnings as warnings, so that a
# newer compiler's new warning never stops a user.
WERROR ?= OFF
test cpp-test py-test cpp-asan py-asan sanitize fuzz: WERROR = ON

.PHONY: setup install cpp-test py-test py-test-others test-debian-testing test cpp-asan py-asan sanitize fuzz demo bench clean

setup:
	PYTHON=$(PYTHON) scripts/setup

install: setup
	$(PYTHON) -m pip install --quiet --no-build-isolation -C cmake.define.KORVANE_WERROR=$(WERROR) .

cpp-test: setup
	cmake -S . -B $(BUILD) -G Ninja -DKORVANE_PYTHON=OFF -DKORVANE_TESTS=ON -DKORVANE_WERROR=$(WERROR)
	cmake --build $(BUILD)
	scripts/no-litter $(TEST_TMP) ctest --test-dir $(BUILD) --output-on-failure

py-test: install
	scripts/no-litter $(TEST_TMP) $(PYTHON) -m pytest -q --basetemp=$(abspath build/pytest) tests

test: cpp-test py-test

# The Python suite under every other CPython from 3.11 up that the machine
# has, free-threaded builds included, each through py-test in a fresh
# virtualenv under build/; names the supported versions it cannot find.
py-test-others:
	$(PYTHON) scripts/other-pythons

# cpp-test under Debian testing's compiler, and py-test under each of its
# CPythons from 3.14 up, as root in a chroot made under build/debian-testing
# (a few minutes the first time; later runs reuse it).
test-debian-testing:
	scripts/debian-testing

# The C++ tests and the Python suite under AddressSanitizer and UBSan; any
# report fails the run. Tests that cap a process's address space cannot run
# there (the shadow memory alone passes the cap) and are left out.
ASAN_BUILD ?= build/asan
ASAN_SITE ?= build/asan-site
ASAN_ENV = PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 KORVANE_SANITIZED=1

cpp-asan: setup
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DKORVANE_PYTHON=OFF -DKORVANE_TESTS=ON -DKORVANE_SANITIZE=ON -DKORVANE_WERROR=$(WERROR)
	cmake --build $(ASAN_BUILD)
	$(ASAN_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -E 'HostileCount|WithoutAllocating'

# The module is built with g++ and runs in a stock interpreter, so the
# runtime is preloaded. PYTHONMALLOC=malloc puts every Python object under
# ASan too. Leak checking is off: the interpreter keeps much of its memory to
# the end on purpose.
py-asan: setup
	rm -rf $(ASAN_SITE)
	$(PYTHON) -m pip install --quiet --no-build-isolation --no-deps --target $(ASAN_SITE) \
		-C cmake.define.KORVANE_SANITIZE=ON -C cmake.define.KORVANE_WERROR=$(WERROR) -C build-dir=build/asan-py .
	$(ASAN_ENV) LD_PRELOAD=$$($(CXX) -print-file-name=libasan.so) PYTHONPATH=$(abspath $(ASAN_SITE)) \
		$(PYTHON) -m pytest -q -p no:cacheprovider --basetemp=$(abspath build/asan-pytest) tests

sanitize: cpp-asan py-asan

# libFuzzer run of the index-file reader and the code-record checks under
# ASan and UBSan, from seeds the writer makes: FUZZ_TIME seconds.
FUZZ_TIME ?= 60
FUZZ_BUILD ?= build/fuzz
FUZZ_CXX ?= clang++-19

fuzz: setup
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DKORVANE_PYTHON=OFF -DKORVANE_FUZZ=ON -DKORVANE_WERROR=$(WERROR)
	cmake --build $(FUZZ_BUILD)
	rm -rf $(FUZZ_BUILD)/seeds && mkdir -p $(FUZZ_BUILD)/seeds $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/fuzz/fuzz_make_seeds $(FUZZ_BUILD)/seeds
	$(FUZZ_BUILD)/fuzz/fuzz_index_file -max_total_time=$(FUZZ_TIME) -max_len=8192 -timeout=10 \
		-print_final_stats=1 -artifact_prefix=$(abspath $(FUZZ_BUILD))/ $(FUZZ_BUILD)/corpus $(FUZZ_BUILD)/seeds

demo: install
	$(PYTHON) examples/demo.py

# QUALITY_FLAGS=--quick runs the recall benchmark on fewer items and methods.
bench: install
	cmake -S . -B build/bench -G Ninja -DKORVANE_PYTHON=OFF -DKORVANE_BENCH=ON
	cmake --build build/bench
	build/bench/bench/bench_index 100000
	$(PYTHON) bench/bench_encode.py
	-$(PYTHON) -m pip install --quiet faiss-cpu || echo "faiss-cpu could not be installed: its column is skipped"
	OMP_NUM_THREADS=1 $(PYTHON) bench/bench_search.py $(BENCH_FLAGS)
	OMP_NUM_THREADS=1 $(PYTHON) bench/bench_quality.py $(QUALITY_FLAGS)

# Mounts a killed chroot run left under build/ are undone first, and rm stays
# on build/'s own file system, so it never follows a bind into the host's /dev.
clean:
	-grep -o " $(abspath build)/[^ ]*" /proc/mounts | sort -r | xargs -r umount -l
	rm -rf --one-file-system build
