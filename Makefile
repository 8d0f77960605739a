# Quillet: `make` builds, `make test` builds and runs every test (normal and sanitizer
# builds), `make serve` builds, registers the component and serves the default site.
BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
SUDO       := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Debian packages the build, the tests and the site need.
PACKAGES := cmake make g++ pkg-config libgtest-dev libgmock-dev libjpeg62-turbo-dev \
            clang libclang-rt-14-dev python3 python3-pil \
            duktape-dev libmicrohttpd-dev curl nodejs chromium
# The peers the benchmarks measure Quillet against.
BENCH_PACKAGES := libstb-dev libgif-dev libtiff-dev imagemagick libvips-tools libjpeg-turbo-progs

.PHONY: all deps bench-deps browser-deps install-packages build test test-normal test-asan test-fuzz fuzz-build serve bench fuzz clean

all: build

deps:
	@$(MAKE) --no-print-directory install-packages LIST="$(PACKAGES)"

bench-deps:
	@$(MAKE) --no-print-directory install-packages LIST="$(BENCH_PACKAGES)"

# The browser test's npm packages (playwright-core drives the system's Chromium). Debian's
# nodejs comes without npm; a Node that brings its own npm needs nothing more.
browser-deps: deps
	@command -v npm >/dev/null || $(MAKE) --no-print-directory install-packages LIST="npm"
	cd tests/browser && npm ci --no-audit --no-fund

install-packages:
	@missing=""; for p in $(LIST); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y --no-install-recommends $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)

test: test-normal test-asan test-fuzz

# Every fuzz target for a few seconds on its seeds, so that CI catches regressions.
test-fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) 3

fuzz-build: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_targets

# Every fuzz target for FUZZ_SECONDS (default 60) each.
fuzz: fuzz-build
	fuzz/run $(FUZZ_BUILD) $(FUZZ_SECONDS)

test-normal: build browser-deps
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLET_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ctest --output-on-failure -j$(JOBS)

# Builds, registers the component in the registry ($$QUILLET_REGISTRY or the default file)
# and serves the default site until Ctrl-C. PORT, BIND and ROOT may be given.
PORT ?= 8080
BIND ?= 127.0.0.1
ROOT ?= site
serve: build
	$(BUILD)/quillet register $(abspath $(BUILD))/libquillet.so
	@echo "Open http://$(BIND):$(PORT)/ in a browser (Ctrl-C stops the server)."
	$(BUILD)/quillet serve --root $(ROOT) --bind $(BIND) --port $(PORT)

bench: deps bench-deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j$(JOBS)
	bench/run $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
