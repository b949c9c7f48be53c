# The two commands a newcomer needs (run as root on Debian 12): `make demo` and `make test`.
.PHONY: all build demo test fuzz clean

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

fuzz:
	scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf build
