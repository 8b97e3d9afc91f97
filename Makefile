# The two commands of the README. Both install what is missing, configure and build.
.PHONY: run test build deps clean

JOBS ?= $(shell nproc)

deps:
	@bash scripts/install-deps.sh

build: deps
	@cmake --preset default >/dev/null
	@cmake --build --preset default -j $(JOBS)

run: build
	@bash scripts/run.sh

test: build
	@bash scripts/test.sh

clean:
	rm -rf build build-debug build-asan build-fuzz
