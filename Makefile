# Entry points; each installs what it needs (run as root on Debian).
.PHONY: test build bench run scenarios clean package

build:
	scripts/install-deps.sh
	cmake -S . -B build/mingw -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build/mingw -j$$(nproc)

bench:
	scripts/bench.sh

scenarios:
	scripts/scenarios.sh

run:
	scripts/run.sh

test:
	scripts/test.sh

# The release zip (named with the version) and its SHA-256 file, in build/mingw/package.
package:
	scripts/package.sh

.PHONY: fuzz
fuzz:
	scripts/fuzz.sh

clean:
	rm -rf build
