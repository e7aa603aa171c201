# Front door. `make run` and `make test` install what is missing (Debian packages),
# configure, build, then run the program or the test suite.
#   make run     the program on its simulated stages (the window; without a display,
#                the demo session headless)
#   make test    the whole suite (CTest)
#   make asan / make tsan    the suite under the sanitizers
#   make bench   the benchmarks
#   make soak SEEDS=N [FROM=S]   N simulated operator sessions with faults, from seed S
#   make install [PREFIX=/usr/local]   installs the programs, panel file, docs, manual pages
#   make package   the Debian package, in build/package/

PACKAGES := cmake ninja-build g++ clang libgtest-dev libgmock-dev libbenchmark-dev \
            libtomlplusplus-dev nlohmann-json3-dev qt6-base-dev xvfb libclang-rt-14-dev \
            xauth python3 python3-pyvisa python3-pyvisa-py pkg-config libtango-dev python3-tango
JOBS ?= 2

.PHONY: deps build run test asan tsan bench fuzz soak install package clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "Installing:" $$missing; \
	  (apt-get update -qq || true) && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	@bash scripts/run.sh

test: build
	ctest --preset default -j $(JOBS)

asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" ctest --preset tsan -j $(JOBS)

bench: build
	@bash bench/run.sh

SEEDS ?= 2000
FROM ?= 1
soak: build
	build/bin/varnix-simtest --seeds $(FROM)..$$(( $(FROM) + $(SEEDS) - 1 )) --jobs $(JOBS)

PREFIX ?= /usr/local
install: build
	cmake --install build --prefix $(PREFIX)

# dpkg-shlibdeps (dpkg-dev) computes the package's dependencies; CPack needs file(1).
package: build
	@$(MAKE) --no-print-directory deps PACKAGES="dpkg-dev file"
	cmake --build build --target package

clean:
	rm -rf build build-debug build-asan build-tsan build-fuzz build-otherlib
