# Entry points; each installs what it needs (run as root on Debian).
.PHONY: test build bench run scenarios clean

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

.PHONY: fuzz
fuzz:
	scripts/fuzz.sh

clean:
	rm -rf build
