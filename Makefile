# Front door for newcomers: `make test`, `make sanitize`, `make fuzz`.
# Everything real lives in CMake; this file installs what the build needs,
# configures and runs.

BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
# make install: where the program goes; DESTDIR stages it (packaging).
PREFIX     ?= /usr/local

# Debian packages the build and the tests need. The windows are laid out for
# the Liberation faces (Arial and Times metrics), with DejaVu as the fallback.
DEB_PACKAGES := cmake make g++ pkg-config locales libgtest-dev libgmock-dev qt6-base-dev libgl-dev \
                fonts-liberation2 fonts-dejavu-core

# Peers the benchmark compares with; `make bench` alone installs them.
BENCH_PACKAGES := qt6-serialport-dev

# `make fuzz` builds with clang, whose libFuzzer and sanitizer runtimes come
# in the compiler-rt package; it installs them alone.
FUZZ_PACKAGES := clang libclang-rt-dev
FUZZ_BUILD    ?= build-fuzz
FUZZ_SECONDS  ?= 60
FUZZ_TARGETS  := reply_fuzz SerStrRes_fuzz SerDisp_fuzz

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all deps bench-deps fuzz-deps configure build test bench bench-all soak demo install \
        uninstall sanitize sanitize-address sanitize-thread fuzz clean

all: build

# Installs only what is missing; silent when everything is present.
deps bench-deps fuzz-deps:
	@missing=""; \
	for p in $(if $(filter bench-deps,$@),$(BENCH_PACKAGES),$(if $(filter fuzz-deps,$@),$(FUZZ_PACKAGES),$(DEB_PACKAGES))); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing >/dev/null; \
	fi

# One apt-get at a time.
fuzz-deps: deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Figures only, never pass/fail. One table: ours beside QSerialPort and a
# plain loop, and velmor against the simulated meter. BENCH_ARGS shortens it,
# e.g. BENCH_ARGS="--idle-seconds 2 --cycles 200".
BENCH_ARGS ?=
bench: bench-deps configure
	@cmake --build $(BUILD) -j $(JOBS) --target velmor_bench >$(BUILD)/bench-build.log 2>&1 || \
	  { cat $(BUILD)/bench-build.log; exit 1; }
	@$(BUILD)/bench/velmor_bench $(BENCH_ARGS)

# The table, then the platform-level hops one by one.
bench-all: bench
	@cmake --build $(BUILD) -j $(JOBS) --target platform_bench serwin32_bench ert_bench >/dev/null
	@for b in $(BUILD)/bench/*_bench; do \
	  [ "$$b" = $(BUILD)/bench/velmor_bench ] || { echo "== $$b"; $$b; }; \
	done

# The whole program polling the simulated meter under injected faults for
# MINUTES minutes; fails on a leak or when reading stops going on.
MINUTES ?= 10
soak: configure
	@cmake --build $(BUILD) -j $(JOBS) --target soak >$(BUILD)/soak-build.log 2>&1 || \
	  { cat $(BUILD)/soak-build.log; exit 1; }
	@$(BUILD)/bench/soak --minutes $(MINUTES)

# The program against the simulated meter: velmor-sim on a pty linked as COM1
# in a private COM map, velmor in front; both go when the window closes.
demo: build
	@dir=$$(mktemp -d); \
	trap 'kill $$sim 2>/dev/null; wait $$sim 2>/dev/null; rm -rf "$$dir"' EXIT INT TERM; \
	VELMOR_COM_DIR="$$dir" $(BUILD)/tools/instrument-sim/velmor-sim --com 1 --signal sine --baud 9600 & sim=$$!; \
	while [ ! -e "$$dir/com1" ] && kill -0 $$sim 2>/dev/null; do sleep 0.1; done; \
	VELMOR_COM_DIR="$$dir" $(BUILD)/src/ui/velmor

# velmor and velmor-sim into $(PREFIX)/bin, the desktop entry and the icon
# under $(PREFIX)/share; $(BUILD)/install_manifest.txt lists what went where.
# An existing build is only brought up to date, not configured again, so
# that `sudo make install` after `make` leaves no root-owned files in it.
install:
	@[ -f $(BUILD)/CMakeCache.txt ] || $(MAKE) --no-print-directory build
	@cmake --build $(BUILD) -j $(JOBS)
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# Removes exactly what the last `make install` listed (give the same DESTDIR).
uninstall:
	@test -f $(BUILD)/install_manifest.txt || { echo "nothing installed from $(BUILD)"; exit 1; }
	@sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt | xargs -d '\n' rm -fv --

sanitize: sanitize-address sanitize-thread

sanitize-address: deps
	@cmake -S . -B build-asan -DVELMOR_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

sanitize-thread: deps
	@cmake -S . -B build-tsan -DVELMOR_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tests/tsan.supp" ctest --output-on-failure -j $(JOBS)

# Each libFuzzer target for FUZZ_SECONDS under ASan+UBSan, starting from its
# corpus in fuzz/corpus/<target>/ (new inputs go to the build directory; a
# failing input is written there too and should join the corpus once fixed).
fuzz: fuzz-deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DVELMOR_FUZZ=ON >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  log=$(FUZZ_BUILD)/$$t.log; \
	  if $(FUZZ_BUILD)/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=4096 -print_final_stats=1 \
	       -artifact_prefix=$(FUZZ_BUILD)/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t >$$log 2>&1; then \
	    echo "$$t: $$(grep -m1 -o 'Done [0-9]* runs in [0-9]* second(s)' $$log)," \
	         "$$(grep -o 'cov: [0-9]* ft: [0-9]*' $$log | tail -1)"; \
	  else \
	    tail -n 60 $$log; echo "$$t FAILED (log: $$log)"; exit 1; \
	  fi; \
	done

clean:
	rm -rf $(BUILD) build-asan build-tsan $(FUZZ_BUILD)
