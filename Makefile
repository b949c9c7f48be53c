# The two commands a newcomer needs (run as root on Debian 12): `make demo` and `make test`.
.PHONY: all build demo test fuzz bench clean

FUZZ_SECONDS ?= 60

all: build

build:
	scripts/deps.sh
	cmake --preset release
	cmake --build --preset release

demo:
	scripts/demo.sh

test:
	scripts/test.sh

# Also part of `make test`, with 60 s per target.
fuzz:
	scripts/fuzz.sh $(FUZZ_SECONDS)

# Not part of test or CI: minutes of load, figures written to docs/benchmarks.md (BENCH_QUICK=1: short).
bench:
	bench/run.sh

clean:
	rm -rf build
