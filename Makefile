# Vestrel: the README's commands. Every target installs what is missing first.
JOBS ?= $(shell nproc)
# Most tests wait on a line, a timer or a child program rather than compute: twice as many run at
# once as there are processors.
TEST_JOBS ?= $(shell echo $$(( $(JOBS) * 2 )))

FUZZ_SECONDS ?= 60
SOAK_RUNS ?= 100
FUZZ_TARGETS = fuzz_hex_image fuzz_frame fuzz_command_line fuzz_settings_file fuzz_rfc2217 fuzz_elf

.PHONY: all deps build build-asan build-asan-quick test test-default test-asan \
	test-thorough test-package test-labgrid bench demo gui \
	screenshot package fuzz soak windows windows-dist test-windows web serve-web test-web clean

all: build

deps:
	@./scripts/install-deps

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

build-asan: deps
	cmake --preset asan -DVESTREL_GUI=OFF >/dev/null
	cmake --build --preset asan -j $(JOBS)

# The sanitizer build of the programs that the quick tests need, and nothing else.
build-asan-quick: deps
	cmake --preset asan -DVESTREL_GUI=OFF >/dev/null
	cmake --build --preset asan -j $(JOBS) --target quick_tests

# Every test but the slow ones, then the quick tests of the code that does I/O, threads and
# parsing again under the address and undefined-behaviour sanitizers (tests/CMakeLists.txt says
# which test is which).
test: test-default test-asan

test-default: build
	ctest --preset default -j $(TEST_JOBS)

test-asan: build-asan-quick
	ctest --preset asan -j $(TEST_JOBS)

# What `make test` leaves out for speed: the slow tests (pulled and babbling lines, time budgets,
# many loads, full fuzz corpus replays), and under the sanitizers every test it does not run
# there. The slow ones run one a core, so that their time budgets keep their margins. CI runs it
# after `make test`.
test-thorough: build build-asan
	ctest --preset default-slow -j $(JOBS)
	ctest --preset asan-slow -j $(JOBS)
	ctest --preset asan-rest -j $(TEST_JOBS)

# The Debian packages vestrel-cli (terminal, no Qt) and vestrel (the window), in build-release/:
# the programs of the optimised build (build/), stripped, so that they are those the tests ran.
package: build
	rm -f build-release/vestrel*.deb
	cpack --preset release
	@ls build-release/vestrel*.deb

# Unpacks the packages into a scratch root and loads the simulator with the installed programs.
test-package: package
	./scripts/test-package build-release

# The labgrid driver (integrations/labgrid): installed with pip into a virtual environment over
# Debian's labgrid (from the folder, nothing downloaded), checked with mypy and flake8, and its
# example and tests run with pytest against simulated boards on pseudo-terminals, behind ser2net
# and behind the simulator's own RFC 2217 server (tests/run_lab.py).
LABGRID_VENV = build/labgrid/venv
test-labgrid: deps
	@./scripts/install-deps labgrid
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target vestrel-cli vestrel-sim
	test -x $(LABGRID_VENV)/bin/python || /usr/bin/python3 -m venv --system-site-packages $(LABGRID_VENV)
	$(LABGRID_VENV)/bin/python -m pip install --quiet --no-deps --no-index --no-build-isolation \
		--force-reinstall ./integrations/labgrid
	cd integrations/labgrid && mypy --cache-dir ../../build/labgrid/mypy-cache vestrel_labgrid tests examples
	cd integrations/labgrid && flake8 vestrel_labgrid tests examples
	$(LABGRID_VENV)/bin/python integrations/labgrid/tests/run_lab.py --bin build/bin --work build/labgrid

# The window on a simulated bootloader, with the demo firmware to load.
gui: build
	./scripts/run-gui

# The window after a successful load against the simulator, taken offscreen.
screenshot: build
	QT_QPA_PLATFORM=offscreen ./build/bin/gui_sim_test windowLoadsThroughTheSimulator
	@echo "Screenshots: build/screenshots/main-window.png, build/screenshots/main-window-start.png"

# Speed goals are measured here, not asserted in tests: full loads against the paced simulator
# (also through the web page in headless chromium), the image builder against srec_cat and the
# page's download size (several minutes). Results go to build/bench/.
bench: build web
	@./scripts/install-deps bench
	cmake --build --preset default -j $(JOBS) --target benches
	./scripts/bench

# vestrel.exe (the window, plain Win32), vestrel-cli.exe and the unit tests for 64-bit Windows,
# cross-built with mingw-w64 into build-windows/bin/ (statically linked: they need no DLLs).
windows:
	@./scripts/install-deps windows
	cmake --preset windows >/dev/null
	cmake --build --preset windows -j $(JOBS)

# The Windows downloads in build-windows/dist/: vestrel-<version>-windows-x64.zip (both programs
# and a short guide) and vestrel-<version>-windows-x64-setup.exe (NSIS).
windows-dist: windows
	./scripts/windows-dist

# The Windows build under Wine (on an Xvfb display of its own): its unit tests, loads, the port
# listing and the monitor against the (Linux) simulator behind pty-backed COM ports, the window
# through loads, and the setup program. About three minutes; see the README.
test-windows: windows-dist
	@./scripts/install-deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target vestrel-sim vestrel-cli
	./scripts/test-windows

# The web page: the core in WebAssembly (emscripten) with the page's files, in build-web/site/,
# ready for any static file host.
web:
	@./scripts/install-deps web
	cmake --preset web >/dev/null
	cmake --build --preset web -j $(JOBS)

# Serves the page on http://127.0.0.1:8080/ for a browser on this computer and a real board
# (SERVE_WEB_ARGS="--host ADDRESS --port N" to change).
serve-web: web
	node scripts/serve-web.mjs $(SERVE_WEB_ARGS) build-web/site

# The page in headless chromium against the simulator, through a stand-in for Web Serial that
# is bridged to the simulator's pseudo-terminal. Screenshots in build-web/screenshots/.
test-web: web
	@./scripts/install-deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target vestrel-sim
	./scripts/test-web

# Loads the bundled demo firmware into the simulated bootloader, end to end. Builds only the two
# programs it runs.
demo: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS) --target vestrel-cli vestrel-sim
	./scripts/demo

# Each fuzz target for FUZZ_SECONDS from its seed corpus (fuzz/corpus/<target>), under the
# address and undefined-behaviour sanitizers; clang and libFuzzer come with `deps fuzz`.
fuzz: deps
	@./scripts/install-deps fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./scripts/fuzz

# SOAK_RUNS seeded complete loads against the simulator with mixed faults; prints a table.
soak: build
	./build/bin/vestrel-soak --runs $(SOAK_RUNS)

clean:
	rm -rf build build-asan build-release build-fuzz build-windows build-web tests/web/node_modules
