# Entry points for people: `make serve` builds and runs quorvel-serve on the demo site at
# http://127.0.0.1:8080, `make test` builds and runs every test, `make sanitize` runs them
# again under AddressSanitizer and UndefinedBehaviorSanitizer.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps build serve app test sanitize tsan bench format clean

all: build

# Installs the Debian packages that are missing (none, most of the time).
deps:
	tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j $(JOBS)

# Run from the project's top: the demo's .htaccess names its password file relative to it.
serve: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j $(JOBS) --target quorvel-serve
	./$(BUILD)/tools/quorvel-serve $(if $(findstring --root,$(SERVE_ARGS)),,--ssi --cache /welcome.shtml=welcome.shtml) $(SERVE_ARGS)

# The notes board of examples/notes_app.c on http://127.0.0.1:8081.
app: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_EXTRA)
	cmake --build $(BUILD) -j $(JOBS) --target notes_app
	./$(BUILD)/notes_app $(APP_ARGS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

sanitize:
	$(MAKE) test BUILD=build-asan CMAKE_EXTRA="-DQUORVEL_SANITIZE=address,undefined"

tsan:
	$(MAKE) test BUILD=build-tsan CMAKE_EXTRA="-DQUORVEL_SANITIZE=thread"

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DQUORVEL_BENCH=ON -DQUORVEL_TESTS=OFF
	cmake --build build-bench -j $(JOBS)

format:
	git ls-files '*.cpp' '*.h' '*.c' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-bench
