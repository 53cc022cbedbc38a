# Front door for building and testing docseal on Debian 12.
#   make          configure and build (release build in build/)
#   make check    install missing packages, build, run the tests, then the same
#                 under AddressSanitizer and UndefinedBehaviorSanitizer
#   make demo     build, then seal and open a copy of examples/report.xml
#   make install  install docseal, its message library and its man page
SHELL := /bin/bash
BUILD ?= build
ASAN_BUILD ?= build-asan
PREFIX ?= /usr/local
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

DEB_PACKAGES := build-essential cmake pkg-config libxerces-c-dev libssl-dev \
                libgtest-dev libgmock-dev openssl coreutils

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: all build deps check check-release check-asan demo install clean

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

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
