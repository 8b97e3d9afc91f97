# The two commands of the README. Both install what is missing, configure and build.
.PHONY: run test test-sanitizers test-tsan check-format build deps clean package

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

test-sanitizers: deps
	@bash scripts/test-sanitizers.sh

# The engine's tests under ThreadSanitizer (scripts/test-tsan.sh; BRIVELLE_TSAN_TARGETS adds others).
test-tsan: deps
	@bash scripts/test-tsan.sh

# Every C and C++ file as clang-format writes it; names the files that are not.
check-format: deps
	@bash scripts/check-format.sh

# The Debian package of what `build` made, brivelle-ai_<version>_<arch>.deb in this folder.
package: build
	@rm -rf build/package
	@cpack --config build/CPackConfig.cmake -B build/package
	@mv -fv build/package/brivelle-ai_*.deb .

clean:
	rm -rf build build-debug build-asan build-tsan build-fuzz
