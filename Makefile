# Two commands do everything on a fresh Debian machine:
#   make demo   build, start the bundled simulator and run a scripted session
#   make test   install what is missing, build with ASan/UBSan, run the tests
# Each target installs only the packages it needs (scripts/install-deps.sh);
# plain `make` (the release build) needs the compiler, CMake and Android's
# liblog and libcutils. Every target builds with warnings as errors.
#   make ci     what CI runs: make test, the fuzzers for 60 s each, the
#               valgrind pass, the ThreadSanitizer pass, the soak, the
#               suite without libcutils, and the cross builds (armhf,
#               arm64, i386) with their suites under qemu-user
BUILD_TEST  ?= build/test
BUILD_REL   ?= build/release
BUILD_VG    ?= build/valgrind
JOBS        ?= 2
STRICT      = -DKIV_WERROR=ON

.PHONY: all deps test test-nocutils demo valgrind bench fuzz soak tsan ci clean format docs cross

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

# The whole suite on the build an Android application uses: no libcutils
# (the library's own connect to the abstract socket), no sanitizers (so the
# allocation-failure tests run on the plain allocator too).
BUILD_NOCUTILS ?= build/nocutils
test-nocutils:
	@./scripts/install-deps.sh test
	cmake -S . -B $(BUILD_NOCUTILS) -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=OFF -DKIV_WITH_LIBCUTILS=OFF $(STRICT) >/dev/null
	cmake --build $(BUILD_NOCUTILS) -j$(JOBS)
	cd $(BUILD_NOCUTILS) && ctest --output-on-failure --no-tests=error -j$(JOBS) --timeout 300

# Cross build for another processor (ARCH=armhf, arm64 or i386): Debian's
# cross compiler and the target's multiarch libraries, warnings as errors,
# then every test under qemu-user (i386 programs run natively). The Java
# binding is left out: this machine's JVM cannot load the target's library.
ARCH        ?= armhf
BUILD_CROSS ?= build/cross-$(ARCH)
cross:
	@case "$(ARCH)" in armhf|arm64|i386) ;; *) echo "make cross: ARCH is armhf, arm64 or i386" >&2; exit 2 ;; esac
	@./scripts/install-deps.sh cross-$(ARCH)
	cmake -S . -B $(BUILD_CROSS) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchains/$(ARCH).cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_JAVA=OFF $(STRICT) >/dev/null
	cmake --build $(BUILD_CROSS) -j$(JOBS)
	cd $(BUILD_CROSS) && ctest --output-on-failure --no-tests=error -j$(JOBS) --timeout 600

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

ci:
	./.ci/run

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
