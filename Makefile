# The two commands for a fresh machine: `make run` and `make test`.
# Both install the Debian packages they need first (skipping what is there).
JOBS ?= $(shell nproc)
BUILD ?= build
ASAN_BUILD ?= build/asan
GENERATOR := $(shell command -v ninja >/dev/null 2>&1 && echo Ninja || echo "Unix Makefiles")

.PHONY: windows windows-deps windows-test deps configure build test test-steps test-fast install-test check-format asan run bench clean browser-test node-deps fuzz
PORT ?= 8080

deps:
	@bash scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Every test, the install-and-consume test, the format check, the browser test
# of the sample site, then every test again under ASan+UBSan; all with a throw-away PostgreSQL server (KVDN_PG_DSN) for
# the server-database tests, stopped again whatever happens.
test: build
	@bash scripts/pg-test-server.sh run $(MAKE) --no-print-directory test-steps

test-steps:
	@bash scripts/test-steps.sh $(BUILD) $(ASAN_BUILD) $(WINDOWS_BUILD) $(JOBS)

asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Debug -DKVDN_SANITIZE=ON -DKVDN_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	LSAN_OPTIONS=suppressions=$(CURDIR)/tests/support/lsan.supp ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# The install into a temporary prefix, used by a project outside the tree.
install-test: build
	@bash scripts/install-test.sh $(BUILD)

# clang-format --dry-run over the tracked sources.
check-format: deps
	@bash scripts/check-format.sh

# Only the plain build's tests (for development).
test-fast: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

# The sample site in Debian's chromium (skipped only when chromium could not
# be installed); screenshots in $(BUILD)/screenshots.
browser-test: build
	@if [ -x /usr/bin/chromium ]; then \
	  bash scripts/install-node-deps.sh && KVDN_BUILD=$(BUILD) node --test tests/site/browser_test.mjs; \
	else echo "SKIP browser test: chromium could not be installed (see scripts/install-deps.sh)"; fi

# The Windows in-process COM server, cross-built with Debian's mingw-w64 for
# both bitnesses: build-windows/bin/kvdnAspDll.dll (64-bit) and
# build-windows/x86/bin/kvdnAspDll.dll (32-bit) (see README, "Windows").
WINDOWS_BUILD ?= build-windows
windows-deps:
	@bash scripts/install-windows-deps.sh

# The DLL registered in a private Wine prefix and driven by Wine's script
# engines, compared with the Linux build (skipped loudly without Wine).
windows-test: build
	@bash scripts/windows-test.sh $(BUILD) $(WINDOWS_BUILD) 64 || [ $$? -eq 77 ]
	@bash scripts/windows-test.sh $(BUILD) $(WINDOWS_BUILD) 32 || [ $$? -eq 77 ]

windows: windows-deps
	@cmake -S platform/windows -B $(WINDOWS_BUILD) -G "$(GENERATOR)" \
	  --toolchain $(CURDIR)/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	@cmake -S platform/windows -B $(WINDOWS_BUILD)/x86 -G "$(GENERATOR)" \
	  --toolchain $(CURDIR)/cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WINDOWS_BUILD)/x86 -j $(JOBS)

node-deps:
	@bash scripts/install-node-deps.sh

# The sample site at http://127.0.0.1:$(PORT) (make run PORT=8081), its live
# database in $(SITE_DATA), outside the build (ignored by git).
SITE_DATA ?= var/site
run: build
	@bash scripts/run-site.sh $(BUILD) $(SITE_DATA) $(PORT)

# The fuzz targets (clang, libFuzzer) in build/fuzz, each run FUZZ_SECONDS
# seconds (default 30); `make test` replays their saved inputs.
FUZZ_SECONDS ?= 30
fuzz: deps
	@FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) bash scripts/fuzz.sh

bench: build
	@for b in $(BUILD)/bin/bench_*; do echo "== $$b"; $$b; done

clean:
	rm -rf $(BUILD)
