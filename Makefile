# Two commands do everything on a fresh Debian machine:
#   make demo   build, start the bundled simulator and run a scripted session
#   make test   install what is missing, build with ASan/UBSan, run the tests
BUILD_TEST  ?= build/test
BUILD_REL   ?= build/release
BUILD_VG    ?= build/valgrind
JOBS        ?= 2

.PHONY: all deps test demo valgrind bench fuzz clean format docs

all: deps
	cmake -S . -B $(BUILD_REL) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD_REL) -j$(JOBS)

deps:
	@./scripts/install-deps.sh

test: deps
	cmake -S . -B $(BUILD_TEST) -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=ON >/dev/null
	cmake --build $(BUILD_TEST) -j$(JOBS)
	cd $(BUILD_TEST) && ctest --output-on-failure -j$(JOBS)

# Integration tests under valgrind (no sanitizers in this build).
valgrind: deps
	cmake -S . -B $(BUILD_VG) -DCMAKE_BUILD_TYPE=Debug -DKIV_SANITIZE=OFF \
	  "-DKIV_TEST_WRAPPER=valgrind --error-exitcode=99 --leak-check=full --errors-for-leak-kinds=definite,indirect --track-fds=yes" >/dev/null
	cmake --build $(BUILD_VG) -j$(JOBS)
	cd $(BUILD_VG) && ctest --output-on-failure -j$(JOBS) -L integration

BUILD_BENCH ?= build/bench
bench: deps
	cmake -S . -B $(BUILD_BENCH) -DCMAKE_BUILD_TYPE=Release -DKIV_BUILD_TESTS=OFF -DKIV_BUILD_BENCH=ON >/dev/null
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	./scripts/run-benchmarks.sh $(BUILD_BENCH)

# libFuzzer targets, each run for FUZZ_SECONDS from its seed corpus.
BUILD_FUZZ  ?= build/fuzz
FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKIV_BUILD_TESTS=OFF \
	  -DKIV_BUILD_TOOLS=OFF -DKIV_BUILD_FUZZ=ON >/dev/null
	cmake --build $(BUILD_FUZZ) -j$(JOBS)
	./scripts/run-fuzzers.sh $(BUILD_FUZZ) $(FUZZ_SECONDS)

# Release build of the simulator and the client, then a scripted session.
demo:
	@./scripts/install-deps.sh libcli11-dev
	cmake -S . -B $(BUILD_REL) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(BUILD_REL) -j$(JOBS) --target kiv-ipod-simd kiv-ipod
	./scripts/demo.sh $(BUILD_REL)

# Reference manual of the public header; undocumented names fail the build.
docs:
	@./scripts/install-deps.sh doxygen
	mkdir -p build/docs
	doxygen docs/Doxyfile

clean:
	rm -rf build

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')
