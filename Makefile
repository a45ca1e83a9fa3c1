# Two commands do everything on a fresh Debian machine:
#   make demo   build, start the bundled simulator and run a scripted session
#   make test   install what is missing, build with ASan/UBSan, run the tests
# Each target installs only the packages it needs (scripts/install-deps.sh);
# plain `make` (the release build) needs the compiler, CMake and Android's
# liblog and libcutils. Every target builds with warnings as errors.
#   make ci     what CI runs: make test, the fuzzers for 60 s each, the
#               valgrind pass, the ThreadSanitizer pass and the soak
BUILD_TEST  ?= build/test
BUILD_REL   ?= build/release
BUILD_VG    ?= build/valgrind
JOBS        ?= 2
STRICT      = -DKIV_WERROR=ON

.PHONY: all deps test demo valgrind bench fuzz soak tsan ci clean format docs

# The library (and the tools, when their libraries are installed).
all:
	@./scripts/install-deps.sh release
	cmake -S . -B $(BUILD_REL) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_TESTS=OFF $(STRICT) >/dev/null
	cmake --build $(BUILD_REL) -j$(JOBS)

# Everything that any target needs.
deps:
	@./scripts/install-deps.sh valgrind bench fuzz docs

test:
	@./scripts/install-deps.sh test
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=ON $(STRICT) >/dev/null
	cmake --build $(BUILD_TEST) -j$(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure --no-tests=error -j$(JOBS) --timeout 300

# Integration tests under valgrind (no sanitizers in this build).
valgrind:
	@./scripts/install-deps.sh valgrind
	cmake -S . -B $(BUILD_VG) -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=OFF $(STRICT) \
	  "-DKIV_TEST_WRAPPER=valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --track-fds=yes" >/dev/null
	cmake --build $(BUILD_VG) -j$(JOBS)
	cd $(BUILD_VG) && ctest --output-on-failure --no-tests=error -j$(JOBS) --timeout 600 -L integration

BUILD_BENCH ?= build/bench
bench:
	@./scripts/install-deps.sh bench
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=ON $(STRICT) >/dev/null
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	./scripts/run-benchmarks.sh $(BUILD_BENCH)

# libFuzzer targets, each run for FUZZ_SECONDS from its seed corpus.
BUILD_FUZZ  ?= build/fuzz
FUZZ_SECONDS ?= 60
fuzz:
	@./scripts/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_TESTS=OFF \
	  -DKIV_BUILD_TOOLS=OFF -DKIV_BUILD_FUZZ=ON $(STRICT) >/dev/null
	cmake --build $(BUILD_FUZZ) -j$(JOBS)
	./scripts/run-fuzzers.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# Release build of the simulator and the client, then a scripted session.
# One connection to the simulator carries SOAK_PACKETS mixed packets;
# fails on an unmatched reply, a lost reply, growing memory or a leaked
# descriptor.
BUILD_SOAK  ?= build/soak
SOAK_PACKETS ?= 1000000
soak:
	@./scripts/install-deps.sh test
	cmake -S . -B $(BUILD_SOAK) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(STRICT) >/dev/null
	cmake --build $(BUILD_SOAK) -j$(JOBS) --target kiv-soak kiv-ipod-simd
	./scripts/run-soak.sh $(BUILD_SOAK) $(SOAK_PACKETS)

# The simulator's tests (several clients at once) under ThreadSanitizer,
# without the other sanitizers.
BUILD_TSAN  ?= build/tsan
TSAN_TESTS  = $(patsubst tests/integration/%.cpp,integration_%,$(wildcard tests/integration/simd_*_test.cpp))
tsan:
	@./scripts/install-deps.sh test
	cmake -S . -B $(BUILD_TSAN) -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=OFF $(STRICT) \
	  "-DCMAKE_C_FLAGS=-fsanitize=thread" "-DCMAKE_CXX_FLAGS=-fsanitize=thread" \
	  "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread" "-DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread" >/dev/null
	cmake --build $(BUILD_TSAN) -j$(JOBS) --target kiv-ipod-simd kiv-ipod $(TSAN_TESTS)
	cd $(BUILD_TSAN) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure --timeout 900 -R '^integration_simd_'

ci: test
	$(MAKE) docs
	$(MAKE) demo
	$(MAKE) fuzz FUZZ_SECONDS=60
	$(MAKE) valgrind
	$(MAKE) tsan
	$(MAKE) soak

demo:
	@./scripts/install-deps.sh tools
	cmake -S . -B $(BUILD_REL) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_TESTS=OFF $(STRICT) >/dev/null
	@echo "building the simulator and the client in $(BUILD_REL) ..."
	@cmake --build $(BUILD_REL) -j$(JOBS) --target kiv-ipod-simd kiv-ipod >/dev/null
	@./scripts/demo.sh $(BUILD_REL)

# Reference manual of the public header; undocumented names fail the build.
docs:
	@./scripts/install-deps.sh docs
	mkdir -p build/docs
	doxygen docs/Doxyfile

clean:
	rm -rf build

format:
	@./scripts/install-deps.sh format
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')
