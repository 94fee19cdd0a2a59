# Two commands are all a newcomer needs: `make run` and `make test`.
.PHONY: run test deps build build-asan test-default test-asan package bench fuzz format clean

JOBS ?= 2

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

build-asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan -j $(JOBS)

run: build
	./build/bin/quillmere

test-default: build
	ctest --preset default

test-asan: build-asan
	ctest --preset asan

test: test-default test-asan
	@if [ -f scripts/run-fuzz.sh ]; then bash scripts/run-fuzz.sh; fi

# build/quillmere_<version>_<arch>.deb, for `sudo apt install ./build/quillmere_*.deb`.
package: build
	@cmake --build --preset default --target package

bench: build
	@bash bench/run-all.sh

format:
	@find src tests bench fuzz -name '*.cpp' -o -name '*.h' 2>/dev/null | xargs clang-format -i

clean:
	rm -rf build build-asan build-fuzz
