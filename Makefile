# One entry point: make test | make demo | make asan | make tsan | make bench | make fuzz
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 30
DAEMON ?= MivraBox2

.PHONY: all deps build test demo asan tsan bench fuzz format clean

all: build

deps:
	./scripts/install-deps

build/default/build.ninja:
	cmake --preset default

build: deps build/default/build.ninja
	cmake --build --preset default -j $(JOBS)

test: build
	ctest --test-dir build/default -j $(JOBS) --output-on-failure --timeout 600

# A channel on air against the fakes for about a minute (DEMO_SECONDS caps it).
demo: build
	DAEMON="$(DAEMON)" ./scripts/demo build/default

# The unit tests and the system tests against the sanitized build of every program; the build sets
# the sanitizers' options, report folders and time scale for each test (cmake/helpers.cmake).
asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --test-dir build/asan -j $(JOBS) --output-on-failure --timeout 900

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	ctest --test-dir build/tsan -j $(JOBS) --output-on-failure --timeout 900

bench: build
	./bench/run build/default

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	./tests/fuzz/run build/fuzz $(FUZZ_SECONDS)

format:
	git ls-files '*.cc' '*.h' | xargs clang-format -i

clean:
	rm -rf build
