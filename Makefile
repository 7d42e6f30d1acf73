# Entry points for people: `make serve` builds and runs quorvel-serve on the demo site at
# http://127.0.0.1:8080, `make test` builds and runs every test, `make sanitize` runs them
# again under AddressSanitizer and UndefinedBehaviorSanitizer.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build serve app install test sanitize tsan tsan-ci bench fuzz format clean

all: build

# Installs the Debian packages that are missing (none, most of the time).
deps:
	tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j $(JOBS)

# Run from the project's top: the demo's .htaccess names its password file relative to it.
# The demo's stored SSI page is added unless SERVE_ARGS names another root (--root, or a
# directory argument).
SERVE_OWN_ROOT = $(findstring --root,$(SERVE_ARGS))$(strip $(foreach w,$(filter-out -%,$(SERVE_ARGS)),$(wildcard $(w)/.)))
serve: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j $(JOBS) --target quorvel-serve example_bubbles
	./$(BUILD)/tools/quorvel-serve $(if $(SERVE_OWN_ROOT),,--ssi --cache /welcome.shtml=welcome.shtml) $(SERVE_ARGS)

# The notes board of examples/notes_app.c on http://127.0.0.1:8081.
app: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j $(JOBS) --target notes_app
	./$(BUILD)/notes_app $(APP_ARGS)

# Installs into PREFIX (/usr/local unless given): `make install PREFIX=/opt/quorvel`.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_EXTRA="-DQUORVEL_SANITIZE=address,undefined"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_EXTRA="-DQUORVEL_SANITIZE=thread"

# ThreadSanitizer over the threaded part of the suite, small enough for CI: only the test
# programs holding the server, kernel, connection, worker and synchronisation tests are
# built, and only those tests run.
TSAN_CI_TARGETS ?= test_http test_threads test_api test_e2e
TSAN_CI_TESTS ?= ^(Kernel|Server|Workers|Mutex|Event|Thread|Attributes\.Status|Pages|SsiOnTheWire|AccessOnTheWire|Waiting)\.

tsan-ci: deps
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_CI_TARGETS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '$(TSAN_CI_TESTS)'

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BENCH=ON -DQUORVEL_TESTS=OFF
	cmake --build build-bench -j $(JOBS)

# The libFuzzer drivers of fuzz/, built with clang in their own tree: each replays its past
# findings, then runs FUZZ_SECONDS from its seeds (`make fuzz FUZZ_SECONDS=600`).
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++-14

fuzz: deps
	tools/install-deps.sh --fuzz
	cmake -S fuzz -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=$(FUZZ_CXX)
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz
