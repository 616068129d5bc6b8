# Front door: `make` builds, `make test` runs every test (plain and sanitized),
# `make demo` posts into a sample board and shows what was stored,
# `make install` installs the programs, the library, its headers, CMake
# package, drayline.pc and manual pages under PREFIX (DESTDIR stages).
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
PREFIX     ?= /usr/local
# More arguments for CMake when a build directory is configured, e.g.
# CMAKE_FLAGS="-G Ninja -DCMAKE_CXX_COMPILER_LAUNCHER=ccache".
CMAKE_FLAGS ?=

# Written only after a configure succeeded: a configure that fails (a
# missing compiler, say) leaves no half-made directory that the next make
# would take for a configured one.
STAMP := .drayline-configured

.PHONY: all test test-plain test-asan gtest demo bench fuzz install clean

all: $(BUILD)/$(STAMP)
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/$(STAMP):
	scripts/configure.sh $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

$(ASAN_BUILD)/$(STAMP):
	scripts/configure.sh $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDRAYLINE_SANITIZE=ON $(CMAKE_FLAGS)

test: test-plain test-asan

# GoogleTest is found, or installed (as root with apt-get), or make stops
# here with the command to run, before anything is built.
gtest: $(BUILD)/$(STAMP)
	scripts/ensure_gtest.sh $(BUILD)

test-plain: gtest
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: gtest $(ASAN_BUILD)/$(STAMP)
	scripts/ensure_gtest.sh $(ASAN_BUILD)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

# Only the two programs: the demo needs no GoogleTest.
demo: $(BUILD)/$(STAMP)
	cmake --build $(BUILD) -j $(JOBS) --target drayline draybase
	scripts/demo.sh $(BUILD)

bench: all
	bench/run $(BUILD)

fuzz:
	fuzz/run

install: $(BUILD)/$(STAMP)
	cmake --build $(BUILD) -j $(JOBS) --target drayline draybase drayline_lib
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
