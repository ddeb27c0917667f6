# mirevo: make run | make test | make fuzz | make bench | make install | make deb | make image
JOBS ?= 2
CMAKE_FLAGS ?=
ENV_FILE ?= /usr/local/etc/mirevo/keys.env
export ASAN_OPTIONS ?= detect_leaks=1:abort_on_error=0:halt_on_error=1
export LSAN_OPTIONS ?= suppressions=$(CURDIR)/tests/lsan.supp
export UBSAN_OPTIONS ?= halt_on_error=1:print_stacktrace=1
export TSAN_OPTIONS ?= halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp

.PHONY: all deps build run test mutate test-normal test-asan test-tsan test-fuzz fuzz bench install deb image clean

all: build

deps:
	@./scripts/install-deps.sh

# build/, build-asan/ and build-tsan/ are separate trees; each builds the relay and its tests.
define build_tree
	cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(2) $(CMAKE_FLAGS) >/dev/null
	cmake --build $(1) -j $(JOBS) $(3)
endef

build: deps
	$(call build_tree,build,)

run: deps
	$(call build_tree,build,,--target mirevo)
	@./scripts/run-relay.sh "$(ENV_FILE)"

test-normal: deps
	$(call build_tree,build,-DMIREVO_SOAK=OFF)
	ctest --test-dir build -j $(JOBS) --output-on-failure

# The sanitizer trees build with -O1 and line tables only: half the build time, and
# reports still name file and line.
SANITIZER_FLAGS = -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DMIREVO_BENCH_TESTS=OFF -DMIREVO_BROWSER_TESTS=OFF \
	-DMIREVO_CONTAINER_TESTS=OFF

test-asan: deps
	$(call build_tree,build-asan,-DMIREVO_SANITIZE=address -DMIREVO_SOAK=OFF $(SANITIZER_FLAGS))
	ctest --test-dir build-asan -j $(JOBS) --output-on-failure

test-tsan: deps
	$(call build_tree,build-tsan,-DMIREVO_SANITIZE=thread $(SANITIZER_FLAGS))
	ctest --test-dir build-tsan -j $(JOBS) --output-on-failure

# build-fuzz/ is a clang tree holding only the libFuzzer targets; each runs $(1) seconds as a
# test, the three at once (a run lasts its time whatever else the machine does).
define fuzz_tree
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DMIREVO_FUZZ=ON -DMIREVO_FUZZ_SECONDS=$(1) $(CMAKE_FLAGS) >/dev/null
	cmake --build build-fuzz -j $(JOBS)
	ctest --test-dir build-fuzz -j 3 --output-on-failure
endef

test-fuzz: deps
	$(call fuzz_tree,15)

fuzz: deps
	$(call fuzz_tree,60)

test: test-normal test-asan test-tsan test-fuzz

# Each mutant of tests/mutants.txt in a scratch copy (build-mutate/), with the tests that
# must kill it; minutes, so not part of make test.
mutate: deps
	@./scripts/mutate.py

bench: deps
	@./bench/run-bench.sh

install: deps
	$(call build_tree,build,,--target mirevo)
	@./scripts/install-service.sh

# The Debian package: dpkg-buildpackage builds a copy of the checkout's files (tracked and
# new, not ignored) in build-deb/src without the test suite; the .deb lands in build-deb/
# and lintian must report no error.
deb: deps
	rm -rf build-deb && mkdir -p build-deb/src
	git ls-files -z --cached --others --exclude-standard | \
		tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C build-deb/src
	cd build-deb/src && dpkg-buildpackage -b -us -uc -j$(JOBS) >../build.log 2>&1 || \
		{ tail -n 40 ../build.log; exit 1; }
	lintian --fail-on error build-deb/mirevo_*.changes
	@ls build-deb/mirevo_*.deb

# The container image mirevo:<version> from that package, with podman and no base image: in
# podman's local store and in build-image/mirevo-<version>.oci.tar (podman load, or a node's
# container runtime, takes it without a registry).
image: deb
	@./scripts/build-image.sh build-deb/mirevo_*.deb

clean:
	rm -rf build build-asan build-tsan build-bench build-fuzz build-mutate build-deb build-image
