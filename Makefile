# The two commands of the README: `make demo` and `make test`.
.PHONY: all deps build build-x64 build-x86 test demo gallery bench packages repro fuzz clean

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

# make packages [SIGN_PFX=FILE]; the password from SIGN_PASS or SIGN_PASS_FILE
# in the environment, a time-stamping server from SIGN_TS_URL.
packages: build
	tools/packaging/packages.sh --bin out/bin --out out/packages $(if $(SIGN_PFX),--sign $(SIGN_PFX))

# The seven programs built again from a clone of HEAD elsewhere: same bytes?
repro: build
	tools/repro.sh

# The robustness run: make fuzz [SEED=N] [CALLS=N] [BITS=32]
CALLS ?= 10000
fuzz: build
	tools/fuzz/fuzz.sh --calls $(CALLS) $(if $(SEED),--seed $(SEED)) $(if $(BITS),--bits $(BITS))

# Run through sudo, Wine leaves root's files under build/ and out/.
clean:
	rm -rf build out 2>/dev/null || sudo rm -rf build out
