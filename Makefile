# Front door for building and testing docseal on Debian 12.
#   make          configure and build (release build in build/)
#   make check    install missing packages, build, run the tests, then the same
#                 under AddressSanitizer and UndefinedBehaviorSanitizer
#   make demo     build, then seal and open a copy of examples/report.xml
#   make bench    time docseal against peer tools (openssl, xmllint, xmlsec1)
#   make install  install docseal, its message library and its man page
#   make deb      build the Debian package docseal_<version>_<arch>.deb here
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := build-essential cmake pkg-config libxerces-c-dev libssl-dev \
                libgtest-dev libgmock-dev openssl coreutils perl valgrind dpkg-dev file \
                bash-completion

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all build deps check check-release check-asan demo bench install deb clean fuzz

all: build

deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing; \
	fi

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

$(ASAN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DDOCSEAL_SANITIZE=ON $(CMAKE_FLAGS)

check-release: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

check-asan: deps $(ASAN_BUILD)/CMakeCache.txt
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

check: check-release check-asan

DEMO_PASSPHRASE ?= correct horse battery staple

demo: deps build
	@set -e; scratch=$$(mktemp -d); trap 'rm -rf "$$scratch"' EXIT; \
	cp examples/report.xml "$$scratch/report.xml"; \
	cp examples/report.xml "$$scratch/original.xml"; \
	echo "$$ docseal report.xml /encrypt '$(DEMO_PASSPHRASE)'"; \
	$(BUILD)/bin/docseal "$$scratch/report.xml" /encrypt '$(DEMO_PASSPHRASE)'; \
	echo "container: $$(wc -c < "$$scratch/report.xml.enc") bytes, key mode $$(od -An -tu1 -N1 "$$scratch/report.xml.enc" | tr -d ' ')"; \
	rm "$$scratch/report.xml"; \
	echo "$$ docseal report.xml.enc /decrypt '$(DEMO_PASSPHRASE)'"; \
	$(BUILD)/bin/docseal "$$scratch/report.xml.enc" /decrypt '$(DEMO_PASSPHRASE)'; \
	if cmp -s "$$scratch/original.xml" "$$scratch/report.xml"; then \
	  echo "The restored document is identical to the original."; \
	else echo "The restored document differs from the original!"; exit 1; fi

BENCH_PACKAGES := python3 openssl libxml2-utils xmlsec1
BENCH_RUNS ?= 3

# make bench: the release build with its bench programs (bench/), then the
# figures; BENCH_LARGE=1 adds a 1 GB document (memory only, about 3 GB in
# /dev/shm while it runs).
bench: deps $(BUILD)/CMakeCache.txt
	@missing=""; for p in $(BENCH_PACKAGES); do \
	  dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "Installing:$$missing"; \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q $$missing || true; \
	fi
	cmake -S . -B $(BUILD) -DDOCSEAL_BENCH=ON >/dev/null
	cmake --build $(BUILD) -j $(JOBS) --target docseal bench_check bench_run
	python3 bench/run_bench.py $(BUILD)/bin/docseal --runs $(BENCH_RUNS) $(if $(filter-out 0,$(BENCH_LARGE)),--large) \
	  $(if $(BENCH_BEFORE),--before $(BENCH_BEFORE))

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# The package holds what `make install` installs, under /usr, stripped; its
# dependencies come from dpkg-shlibdeps.
deb: deps build
	rm -f $(BUILD)/docseal_*.deb
	cd $(BUILD) && cpack -G DEB
	cp $(BUILD)/docseal_*.deb .

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) docseal_*.deb

# make fuzz: builds the libFuzzer targets of fuzz/ with clang in their own
# folder and runs each for FUZZ_SECONDS, one after the other. New inputs go
# to $(FUZZ_BUILD)/corpus/<target> (the seeds in fuzz/corpus stay as they
# are); an input that breaks a target is kept as $(FUZZ_BUILD)/artifacts/* and
# fails the run.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60
FUZZ_CC ?= clang-14
FUZZ_CXX ?= clang++-14
FUZZ_TARGETS := container xml_check settings base64 wchar version

fuzz: deps
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 && dpkg -s libclang-rt-14-dev >/dev/null 2>&1 || { \
	  echo "Installing: clang-14 libclang-rt-14-dev"; \
	  $(SUDO) apt-get update -q && \
	  DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -q clang-14 libclang-rt-14-dev; }
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=$(FUZZ_CC) \
	  -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DDOCSEAL_FUZZ=ON -DDOCSEAL_TESTS=OFF $(CMAKE_FLAGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target docseal_fuzzers
	@set -e; mkdir -p $(FUZZ_BUILD)/artifacts; \
	for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	  echo "== fuzz_$$t for $(FUZZ_SECONDS) s (log: $(FUZZ_BUILD)/fuzz_$$t.log)"; \
	  status=0; \
	  $(FUZZ_BUILD)/bin/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -timeout=20 -rss_limit_mb=2048 \
	    -print_final_stats=1 -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- \
	    $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t > $(FUZZ_BUILD)/fuzz_$$t.log 2>&1 || status=$$?; \
	  if [ $$status -ne 0 ]; then \
	    grep -v '^#[0-9]' $(FUZZ_BUILD)/fuzz_$$t.log | tail -n 60; \
	    echo "fuzz_$$t found a failure: see $(FUZZ_BUILD)/artifacts/"; exit 1; \
	  fi; \
	  grep -E '^(Done|stat::(number_of_executed_units|new_units_added|peak_rss_mb))' $(FUZZ_BUILD)/fuzz_$$t.log; \
	done; echo "All fuzz targets ran $(FUZZ_SECONDS) s each without a failure."
