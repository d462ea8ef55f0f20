# The two commands of the README: `make demo` and `make test`.
.PHONY: all deps build build-x64 build-x86 test demo gallery bench packages release repro fuzz sdk stress clean

all: build

deps:
	@tools/install-deps.sh

build-x86: deps
	cmake --preset x86 >/dev/null
	cmake --build --preset x86

build-x64: deps
	cmake --preset x64 >/dev/null
	cmake --build --preset x64

# x86 first: the x64 tests check the x86 files too.
build: build-x86 build-x64

# Both bitnesses' test programs, each run under Wine 10; a failure in one
# does not hide the other's results. Q5_X86_MODE=native|emulated|none
# forces how the 32-bit ones run (README, Tests).
test: build
	@tools/test.sh

demo: build
	tools/demo.sh

gallery: build
	tools/gallery/gallery.sh

bench: build
	tools/bench.sh

# make packages [SIGN_PFX=FILE] [PACKAGES_OUT=DIR]; the password from SIGN_PASS
# or SIGN_PASS_FILE in the environment, a time-stamping server from SIGN_TS_URL.
# out/sdk goes along as q5dm-sdk.zip.
PACKAGES_OUT ?= out/packages
packages: build sdk
	tools/packaging/packages.sh --bin out/bin --out "$(PACKAGES_OUT)" $(if $(SIGN_PFX),--sign "$(SIGN_PFX)") --sdk out/sdk

# The release of this commit in out/release/ (README, Releases); it refuses
# a checkout with uncommitted changes and builds first. [SIGN_PFX=FILE]
release:
	SIGN_PFX="$(SIGN_PFX)" tools/release.sh

# The seven programs, their symbols, the packages and the release built
# again from a clone of HEAD elsewhere: same bytes?
repro: build
	tools/repro.sh

# The robustness run: make fuzz [SEED=N] [CALLS=N] [BITS=32]
CALLS ?= 10000
fuzz: build
	tools/fuzz/fuzz.sh --calls $(CALLS) $(if $(SEED),--seed $(SEED)) $(if $(BITS),--bits $(BITS))

# The client library for the desktop application's developers: out/sdk.
sdk: build
	tools/sdk/sdk.sh --out out/sdk

# K clients at once, with and without the lease: make stress [CALLS=M]
stress: build
	tools/stress/stress.sh $(if $(filter command line,$(origin CALLS)),--calls $(CALLS))

# Run through sudo, Wine leaves root's files under build/ and out/.
clean:
	rm -rf build out 2>/dev/null || sudo rm -rf build out
