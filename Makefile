# Front door: `make` builds, `make test` runs every test (plain and sanitized),
# `make demo` posts into a sample board and shows what was stored.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)

.PHONY: all test test-plain test-asan demo bench fuzz clean

all: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDRAYLINE_SANITIZE=ON

test: test-plain test-asan

test-plain: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=abort_on_error=1:detect_leaks=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --output-on-failure -j $(JOBS)

demo: all
	scripts/demo.sh $(BUILD)

bench: all
	bench/run $(BUILD)

fuzz:
	fuzz/run

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) build-fuzz
