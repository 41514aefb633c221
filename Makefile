# The two commands of the quick start are `make run` and `make test`; both
# install what they need first (scripts/bootstrap).
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=
CTEST_FLAGS ?=

.PHONY: all bootstrap configure build test run sanitize tsan lint format fuzz bench clean install package \
        mutate coverage

all: build

bootstrap:
	@scripts/bootstrap

configure: bootstrap
	@cmake -S . -B $(BUILD) -G Ninja -DDIALVO_WERROR=ON $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest -j $(JOBS) --output-on-failure $(CTEST_FLAGS)

# The desktop program, with the local presence service when none is
# configured (scripts/run-desktop); ARGS go to the program.
run: build
	@scripts/run-desktop $(BUILD) $(ARGS)

# Two programs, alice and bob, that can call each other (scripts/demo).
.PHONY: demo
demo: build
	@scripts/demo $(BUILD) $(ARGS)

# Installs under PREFIX (and DESTDIR when set, as usual).
PREFIX ?= /usr/local
install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

# The Debian packages, into $(BUILD)/packages/.
package: build
	@cd $(BUILD) && cpack

sanitize:
	@$(MAKE) --no-print-directory test BUILD=build-asan \
	  CMAKE_FLAGS="-DDIALVO_ASAN=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++"

tsan:
	@$(MAKE) --no-print-directory test BUILD=build-tsan \
	  CMAKE_FLAGS="-DDIALVO_TSAN=ON -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++"

lint: configure
	@scripts/lint $(BUILD)

format: bootstrap
	@git ls-files --cached --others --exclude-standard '*.cpp' '*.h' | xargs clang-format -i

fuzz: bootstrap
	@scripts/fuzz

bench: build
	@scripts/bench

# A call of MINUTES (30) minutes through the impairment relay at 5 % loss and
# 40 ms jitter, with its figures every minute; not part of `make test`.
MINUTES ?= 30
.PHONY: soak
soak: configure
	@cmake --build $(BUILD) -j $(JOBS) --target dialvo-soak
	@nice -n 10 $(BUILD)/bin/dialvo-soak --minutes $(MINUTES)

# One wrong change at a time from tests/mutations.txt, each rebuilt and
# tested; lists the changes no test noticed (scripts/mutate). Not part of
# `make test`: it takes a while.
mutate: configure
	@JOBS=$(JOBS) scripts/mutate $(BUILD) tests/mutations.txt

# Line and branch coverage of the whole suite into build-coverage/ (HTML
# report, figures per folder, share of test lines; scripts/coverage).
coverage: bootstrap
	@JOBS=$(JOBS) scripts/coverage build-coverage $(CMAKE_FLAGS)

clean:
	@rm -rf build build-asan build-tsan build-fuzz build-coverage
