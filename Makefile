# Front door for newcomers: `make test`, `make demo`, `make deb`, `make sanitize`,
# `make fuzz`, `make lint`, `make format`.
# Everything real lives in CMake; this file installs what the build needs,
# configures and runs.

BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
# make install: where the program goes; DESTDIR stages it (packaging).
PREFIX     ?= /usr/local

# Debian packages the build and the tests need: the compiler and
# debian/control's Build-Depends, read from there so that `make test` and
# the package build install one list (less debhelper, which only `make deb`
# needs). The windows are laid out for the Liberation faces (Arial and Times
# metrics), with DejaVu as the fallback.
# (The sed script sits in a variable: its parentheses would end $(shell.)
DEPENDS_NAMES := s/^Build-Depends://; s/([^)]*)//g; s/<[^>]*>//g
BUILD_DEPENDS := $(shell awk '/^[^ \t]/ { f = ($$1 == "Build-Depends:") } f' debian/control | \
                   sed '$(DEPENDS_NAMES)' | tr ',' ' ')
DEB_PACKAGES  := g++ $(filter-out debhelper-compat,$(BUILD_DEPENDS))
# What `make deb` needs besides (build-essential: a package build assumes it).
DEB_TOOLS     := build-essential debhelper

# Peers the benchmark compares with; `make bench` alone installs them.
BENCH_PACKAGES := qt6-serialport-dev

# `make fuzz` builds with clang, whose libFuzzer and sanitizer runtimes come
# in the compiler-rt package; it installs them alone.
FUZZ_PACKAGES := clang libclang-rt-dev
FUZZ_BUILD    ?= build-fuzz
FUZZ_SECONDS  ?= 60
FUZZ_TARGETS  := reply_fuzz SerStrRes_fuzz SerDisp_fuzz

# `make clang` builds every target with clang (each is -Werror, see
# cmake/Warnings.cmake); `make lint` runs clang-tidy's checks (.clang-tidy)
# over that build's sources; `make format` lays the C++ files out as
# .clang-format says and `make format-check` fails where one differs. Debian's
# clang 14 tools, so that every machine lays out and checks alike.
LINT_PACKAGES := clang clang-tidy clang-format
CLANG_BUILD   ?= build-clang

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

# Without a login session's XDG_RUNTIME_DIR, Qt makes /tmp/runtime-$USER and
# leaves it there; the build runs Qt too (each test program lists its tests).
# Qt makes this one, owner-only, beside the build directories.
ifeq ($(XDG_RUNTIME_DIR),)
export XDG_RUNTIME_DIR := $(CURDIR)/build-runtime
endif

# The front door prints progress, failures and the test summary, not the
# directories of CMake's inner makes (make 4.3 names every one).
MAKEFLAGS += --no-print-directory

.PHONY: all deps bench-deps fuzz-deps deb-deps lint-deps configure build test bench bench-all \
        soak demo install uninstall deb deb-build sanitize sanitize-address sanitize-thread fuzz \
        clang lint format format-check clean

all: build

# Installs only what is missing, through sudo when not root; silent when
# everything is present. apt-get speaks for itself (a slow mirror is not a
# hang); sudo's own environment reset would drop DEBIAN_FRONTEND, hence env.
# sudo -n first: sudo -v asks for a password unless every sudoers entry of the
# user is NOPASSWD, which a NOPASSWD line beside the sudo group is not.
# Whoever may not use sudo is told what to ask an administrator for.
deps bench-deps fuzz-deps deb-deps lint-deps:
	@missing=""; \
	for p in $(if $(filter bench-deps,$@),$(BENCH_PACKAGES),$(if $(filter fuzz-deps,$@),$(FUZZ_PACKAGES),$(if $(filter lint-deps,$@),$(LINT_PACKAGES),$(DEB_PACKAGES) $(if $(filter deb-deps,$@),$(DEB_TOOLS))))); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "install ok installed" || missing="$$missing $$p"; \
	done; \
	[ -z "$$missing" ] && exit 0; \
	if [ -n "$(SUDO)" ] && ! { command -v sudo >/dev/null && { sudo -n true 2>/dev/null || sudo -v; }; }; then \
	  echo "velmor: Debian packages are missing; ask an administrator to run: apt-get install --no-install-recommends$$missing" >&2; \
	  exit 1; \
	fi; \
	echo "Installing Debian packages the build needs (this takes a few minutes):$$missing"; \
	$(SUDO) apt-get update -q && \
	$(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $$missing || \
	{ echo "velmor: installing$$missing failed (apt-get says why above)" >&2; exit 1; }

# One apt-get at a time.
fuzz-deps lint-deps: deps

configure: deps
	@cmake -S . -B $(BUILD) $(CMAKE_ARGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure --progress -j $(JOBS)

# Builds the targets $(1) with the build's lines in $(BUILD)/$(2), shown
# only when the build fails.
quiet-build = cmake --build $(BUILD) -j $(JOBS) --target $(1) >$(BUILD)/$(2) 2>&1 || \
  { cat $(BUILD)/$(2); exit 1; }

# Figures only, never pass/fail. One table: ours beside QSerialPort and a
# plain loop, and velmor against the simulated meter. BENCH_ARGS shortens it,
# e.g. BENCH_ARGS="--idle-seconds 2 --cycles 200". Then velmor-log's reading
# rate against the line's, 16 meters publishing to a local mosquitto, and
# velmor-log's cost per reading from 1 to 128 meters;
# LOG_BENCH_ARGS="--readings 200 --seconds 3" shortens them, "--only cost"
# runs the last alone.
BENCH_ARGS ?=
LOG_BENCH_ARGS ?=
bench: bench-deps configure
	@$(call quiet-build,velmor_bench log_bench,bench-build.log)
	@$(BUILD)/bench/velmor_bench $(BENCH_ARGS)
	@echo; $(BUILD)/bench/log_bench $(LOG_BENCH_ARGS)

# The table, then the platform-level hops one by one.
bench-all: bench
	@cmake --build $(BUILD) -j $(JOBS) --target platform_bench serwin32_bench ert_bench >/dev/null
	@for b in $(BUILD)/bench/*_bench; do \
	  case $$b in */velmor_bench|*/log_bench) continue;; esac; echo "== $$b"; $$b; \
	done

# The whole program polling the simulated meter under injected faults for
# MINUTES minutes; fails on a leak or when reading stops going on.
MINUTES ?= 10
soak: configure
	@$(call quiet-build,soak,soak-build.log)
	@$(BUILD)/bench/soak --minutes $(MINUTES)

# The program against the simulated meter: velmor-sim on a pty linked as COM1
# in a private COM map, velmor in front; both go when the window closes.
# Only those two are built, quietly (the build's lines go to a log unless
# it fails): the window is what the user asked for.
demo: configure
	@echo "Building velmor and velmor-sim (log: $(BUILD)/demo-build.log)"
	@$(call quiet-build,velmor velmor-sim,demo-build.log)
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

# The Debian package, built the way Debian builds one (dpkg-buildpackage,
# debhelper, the test suite included) from a copy of the tree in build-deb/,
# so that nothing is written beside the clone. The .deb is left here, at the
# top of the clone; build-deb/ keeps the whole log (build.log) and what
# dpkg-buildpackage makes besides: the debug symbols (velmor-dbgsym_*.deb),
# the .changes and the .buildinfo. The version names the release it is built
# on (debian/binary-version): a package for Debian 13 does not install on 12.
# Root in someone else's clone installs what is missing, then builds as the
# clone's owner (deb-build), so that everything left in it is the owner's.
DEB_VERSION = $(shell debian/binary-version)
DEB_FILE    = velmor_$(DEB_VERSION)_$(shell dpkg --print-architecture).deb
deb: deb-deps
	@owner=$$(stat -c %u .); \
	if [ "$$(id -u)" = 0 ] && [ "$$owner" != 0 ]; then \
	  entry=$$(getent passwd "$$owner" || true); \
	  echo "Building as the clone's owner, $${entry%%:*}$${entry:+ }(uid $$owner)"; \
	  home=$$(printf '%s' "$$entry" | cut -d: -f6); \
	  setpriv --reuid="$$owner" --regid="$$(stat -c %g .)" --clear-groups \
	    env -u XDG_RUNTIME_DIR HOME="$${home:-/nonexistent}" $(MAKE) deb-build; \
	else \
	  $(MAKE) deb-build; \
	fi
	@echo "$(DEB_FILE) is ready; build-deb/ keeps the log, the debug symbols" \
	  "(velmor-dbgsym_$(DEB_VERSION)_*.deb), the .changes and the .buildinfo."
	@echo "Install it with: $(strip $(SUDO) apt) install ./$(DEB_FILE)"

deb-build:
	@rm -rf build-deb && mkdir -p build-deb/velmor
	@tar -c --exclude='./build*' --exclude=./.git --exclude='./*.deb' . | tar -x -C build-deb/velmor
	@echo "Building $(DEB_FILE): the program, the test suite, the package (log: build-deb/build.log)"
	@cd build-deb/velmor && \
	{ dpkg-buildpackage -b -us -uc -J$(JOBS) 2>&1; echo $$? >../status; } | tee ../build.log | \
	  grep --line-buffered -E '^   dh_|^\[ *[0-9]+%\] (Built|Linking)|tests passed|tests failed|dpkg-deb: building'; \
	[ "$$(cat ../status)" = 0 ] || \
	  { tail -n 60 ../build.log; echo "velmor: the package build failed (log: build-deb/build.log)" >&2; exit 1; }
	@cp build-deb/$(DEB_FILE) .

sanitize: sanitize-address sanitize-thread

sanitize-address: deps
	@cmake -S . -B build-asan -DVELMOR_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-asan -j $(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

sanitize-thread: deps
	@cmake -S . -B build-tsan -DVELMOR_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build build-tsan -j $(JOBS)
	@cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions='$(CURDIR)/tests/tsan.supp'" ctest --output-on-failure -j $(JOBS)

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

# Every target, clang's warnings as errors; nothing is run.
clang: lint-deps
	@CC=clang CXX=clang++ cmake -S . -B $(CLANG_BUILD) >/dev/null
	@cmake --build $(CLANG_BUILD) -j $(JOBS)

# Our sources as the clang build compiles them (its generated files and
# moc output must exist first); zero findings, or it fails with them.
# The sources are named by an anchored pattern of this directory.
LINT_SOURCES = ^$(shell printf '%s' '$(CURDIR)' | sed 's/[][\.*^$$+?(){}|]/\\&/g')/(src|tools|tests|bench|fuzz)/
lint: clang
	@run-clang-tidy -p $(CLANG_BUILD) -j $(JOBS) -quiet '$(LINT_SOURCES)' >$(CLANG_BUILD)/lint.log 2>&1 || \
	  { grep -E -A3 '(warning|error): ' $(CLANG_BUILD)/lint.log; \
	    echo "clang-tidy has findings (log: $(CLANG_BUILD)/lint.log)" >&2; exit 1; }
	@echo "clang-tidy: no findings in $$(grep -c '"file"' $(CLANG_BUILD)/compile_commands.json) compile commands' sources"

# The committed C++ files (and those about to be).
FORMAT_FILES = git ls-files -z --cached --others --exclude-standard '*.cpp' '*.h'
format: lint-deps
	@$(FORMAT_FILES) | xargs -0 clang-format -i
format-check: lint-deps
	@$(FORMAT_FILES) | xargs -0 clang-format --dry-run -Werror || \
	  { echo "not laid out as .clang-format says; \`make format\` does it" >&2; exit 1; }
	@echo "clang-format: $$($(FORMAT_FILES) | tr -cd '\0' | wc -c) files as .clang-format lays them out"

clean:
	rm -rf $(BUILD) build-asan build-tsan $(FUZZ_BUILD) $(CLANG_BUILD) build-deb build-runtime
