# make run   installs what is missing, builds, and starts the program on its default input
# make test  installs what is missing, builds, and runs every test
# make install [PREFIX=/usr/local] [DESTDIR=]  installs the programs, menu entry, icons, manuals
# make package  builds a Debian package (.deb) in build/$(PRESET)

PRESET ?= default
BUILD  := build/$(PRESET)
PREFIX ?= /usr/local

.PHONY: all deps configure build run test install package test-asan test-tsan test-capture-tsan bench clean

all: build

deps:
	@./scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET) -j2

run: build
	@./scripts/run-demo.sh $(BUILD)

test: build
	@ctest --preset $(PRESET) -j2

install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

package: build
	@cd $(BUILD) && cpack -G DEB

test-asan:
	@$(MAKE) --no-print-directory test PRESET=asan

test-tsan:
	@$(MAKE) --no-print-directory test PRESET=tsan

# The capture layer's threads (streaming thread, callback, start/stop) under ThreadSanitizer.
test-capture-tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan -j2 --target capture_tests tessaline-cli
	@ctest --preset tsan -L capture

bench:
	@$(MAKE) --no-print-directory build PRESET=release
	@./build/release/bench/tessaline_bench

clean:
	rm -rf build
